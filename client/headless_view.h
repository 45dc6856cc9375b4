// A view with no window at all, for runs no one watches: an installer, a
// scheduled task, the program asking for an update. It shows nothing and
// presses the button itself once there is something to apply; the messages
// reach the log and the result file through the run's report.
#ifndef QUASTO_CLIENT_HEADLESS_VIEW_H_
#define QUASTO_CLIENT_HEADLESS_VIEW_H_

#include <string>

#include "client/view.h"

namespace quasto::client {

class HeadlessView : public ClientView {
 public:
  bool OpenProgressWindow(const std::string&, const std::string&, const std::string&) override {
    return true;
  }
  void CloseProgressWindow() override {}
  void SetText(int, const std::string&) override {}
  void SetFrameCaption(int, const std::string&) override {}
  void SetProgressMaximum(int) override {}
  void SetProgressValue(int) override {}
  void EnableButton(bool enabled) override { button_ = enabled; }
  void ShowMessage(const std::string&, const std::string&, int) override {}
  void DrainEvents() override {}
  // The button once, when it is enabled; then the window "closes".
  ViewEvent WaitEvent(int) override {
    if (button_ && !pressed_) {
      pressed_ = true;
      return ViewEvent::kButton;
    }
    return ViewEvent::kCloseWindow;
  }

 private:
  bool button_ = false;
  bool pressed_ = false;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_HEADLESS_VIEW_H_
