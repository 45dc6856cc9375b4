// The progress window on a terminal: the status line and a live progress
// bar on a terminal, plain lines otherwise. The button becomes a question.
#ifndef QUASTO_CLIENT_CONSOLE_VIEW_H_
#define QUASTO_CLIENT_CONSOLE_VIEW_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "client/view.h"

namespace quasto::client {

class ConsoleView : public ClientView {
 public:
  // `question` is asked before the update is applied; `unattended` answers
  // it with yes without asking.
  ConsoleView(std::FILE* out, std::FILE* in, bool live, bool unattended, std::string question);

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
  void ShowDetail(const std::string& line) override;
  void ShowTransfer(int64_t done, int64_t total) override;

  // The clock the speed is measured with, in milliseconds; for tests.
  void SetClock(std::function<int64_t()> now_ms) { now_ms_ = std::move(now_ms); }

 private:
  void Redraw();
  void EndLiveLine();
  // "1.50 MB of 4.00 MB, 512.00 KB/s, 5 s left", or "" before any transfer.
  std::string TransferText() const;

  std::FILE* out_;
  std::FILE* in_;
  bool live_;
  bool unattended_;
  std::string question_;
  std::string status_, count_, summary_, frame_;
  int maximum_ = 100;
  int value_ = 0;
  bool button_ = false;
  bool asked_ = false;
  bool line_open_ = false;
  std::string last_printed_;
  std::function<int64_t()> now_ms_;
  int64_t transfer_done_ = -1;  // -1: no transfer yet
  int64_t transfer_total_ = 0;
  int64_t transfer_start_ms_ = 0;
  int64_t transfer_now_ms_ = 0;
  int64_t last_transfer_draw_ms_ = -1;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_CONSOLE_VIEW_H_
