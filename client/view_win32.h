// The progress window (window 1) built with Win32. Kept free of windows.h:
// handles are stored as void*.
#ifndef QUASTO_CLIENT_VIEW_WIN32_H_
#define QUASTO_CLIENT_VIEW_WIN32_H_

#include <functional>
#include <string>

#include "client/view.h"

namespace quasto::client {

// Fonts 2 and 3 of the client: "Arial" 9 pt regular and bold.
struct ClientFonts {
  void* regular = nullptr;
  void* bold = nullptr;
};
ClientFonts CreateClientFonts();

class Win32ClientView : public ClientView {
 public:
  explicit Win32ClientView(ClientFonts fonts);
  ~Win32ClientView() override;

  bool OpenProgressWindow(const std::string& title, const std::string& summary,
                          const std::string& button) override;
  void CloseProgressWindow() override;
  void SetText(int control, const std::string& text) override;
  void SetFrameCaption(int control, const std::string& text) override;
  void SetProgressMaximum(int maximum) override;
  void SetProgressValue(int value) override;
  void EnableButton(bool enabled) override;
  void ShowMessage(const std::string& title, const std::string& text, int icon) override;
  void DrainEvents() override;
  ViewEvent WaitEvent(int timeout_ms) override;
  void PostNotification(int type) override;

  // Called by the window procedure.
  void OnButton() {
    if (forward_) {
      forward_(ViewEvent::kButton);
    } else {
      button_pressed_ = true;
    }
  }
  void OnClose() {
    if (forward_) {
      forward_(ViewEvent::kCloseWindow);
    } else {
      close_requested_ = true;
    }
  }
  // Hands the window's events to `forward` as they come, instead of keeping
  // them for WaitEvent: for a view driven from another thread.
  void ForwardEvents(std::function<void(ViewEvent)> forward) { forward_ = std::move(forward); }
  void* text_brush() const { return brush_; }
  // Whether control 10 can be pressed now.
  bool ButtonEnabled() const;

 private:
  void* window_ = nullptr;
  void* brush_ = nullptr;
  ClientFonts fonts_;
  bool button_pressed_ = false;
  bool close_requested_ = false;
  std::function<void(ViewEvent)> forward_;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_VIEW_WIN32_H_
