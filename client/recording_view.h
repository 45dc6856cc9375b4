// A ClientView that records what the logic shows and answers with scripted
// events. For tests.
#ifndef QUASTO_CLIENT_RECORDING_VIEW_H_
#define QUASTO_CLIENT_RECORDING_VIEW_H_

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "client/view.h"

namespace quasto::client {

class RecordingView : public ClientView {
 public:
  struct Message {
    std::string title, text;
    int icon;
  };

  bool OpenProgressWindow(const std::string& title, const std::string& summary,
                          const std::string& button) override {
    log.push_back("open " + title);
    texts[kSummaryText] = summary;
    texts[kUpdateButton] = button;
    opened = true;
    return open_result;
  }
  void CloseProgressWindow() override {
    log.push_back("close");
    closed = true;
  }
  void SetText(int control, const std::string& text) override {
    texts[control] = text;
    history[control].push_back(text);
  }
  void SetFrameCaption(int control, const std::string& text) override { texts[control] = text; }
  void SetProgressMaximum(int maximum) override { progress_max = maximum; }
  void SetProgressValue(int value) override { progress = value; }
  void EnableButton(bool enabled) override {
    button = enabled;
    log.push_back(enabled ? "enable" : "disable");
  }
  void ShowMessage(const std::string& title, const std::string& text, int icon) override {
    messages.push_back({title, text, icon});
  }
  void DrainEvents() override { ++drains; }
  ViewEvent WaitEvent(int) override {
    if (events.empty()) return ViewEvent::kCloseWindow;
    ViewEvent e = events.front();
    events.pop_front();
    return e;
  }
  void PostNotification(int type) override { notifications.push_back(type); }
  void ShowDetail(const std::string& line) override { details.push_back(line); }

  bool open_result = true;
  bool opened = false, closed = false;
  std::deque<ViewEvent> events;  // answered in order; then the window closes
  std::map<int, std::string> texts;
  std::map<int, std::vector<std::string>> history;
  std::vector<std::string> log;
  std::vector<Message> messages;
  std::vector<int> notifications;
  std::vector<std::string> details;
  int progress_max = 100, progress = 0, drains = 0;
  bool button = false;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_RECORDING_VIEW_H_
