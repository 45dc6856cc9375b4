// What a run did, for those who were not watching: written after every run
// as "Quasto\Quastorell.result", a JSON document, so that an installer, a
// scheduled task or the program itself learns the outcome without a window.
#ifndef QUASTO_CLIENT_RUN_REPORT_H_
#define QUASTO_CLIENT_RUN_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "client/view.h"

namespace quasto::client {

inline constexpr char kResultFile[] = "Quastorell.result";

struct RunReport {
  struct Failure {
    std::string file;    // relative to the base folder, or the file's name
    std::string reason;  // the language text of the message, or why it was refused
  };
  struct Message {
    std::string text;  // as shown, without the trailing blanks
    int icon = 0;
  };

  std::string mode;  // "interactive", "unattended", "check"; "+repair" appended
  bool manifest_read = false;
  std::string manifest_version;  // of the newest release the manifest names
  int32_t manifest_date = 0;     // that release's date, as the manifest stores it
  bool signature_checked = false;
  // The planned actions ("would change" under --check) and what they fetch.
  std::vector<std::string> planned;
  int64_t bytes_to_fetch = 0;
  std::vector<std::string> changed;  // files put in place
  std::vector<std::string> deleted;  // files and folders removed
  std::vector<Failure> failed;
  int64_t bytes_fetched = 0;  // manifest, signature, packed files and patches, as received
  std::vector<Message> messages;
  std::string detail;  // why the run ended as it did, when there is more to say

  // The log of this run as last written, so that messages can join it.
  std::string log_lines;
  bool log_written = false;
  bool messages_to_log = false;  // no one sees the messages: they go to the log
};

// The result document: `status` is the exit status, `word` names the case.
std::string ResultJson(const RunReport& report, int status, const char* word,
                       int64_t milliseconds);

// The log's lines for the messages of a run no one watched.
std::string MessageLogLines(const RunReport& report);

// A view that records every message the logic shows into a report and
// passes everything on to the view that shows it (or does not).
class ReportingView : public ClientView {
 public:
  ReportingView(ClientView* inner, RunReport* report) : inner_(inner), report_(report) {}

  bool OpenProgressWindow(const std::string& title, const std::string& summary,
                          const std::string& button) override {
    return inner_->OpenProgressWindow(title, summary, button);
  }
  void CloseProgressWindow() override { inner_->CloseProgressWindow(); }
  void SetText(int control, const std::string& text) override { inner_->SetText(control, text); }
  void SetFrameCaption(int control, const std::string& text) override {
    inner_->SetFrameCaption(control, text);
  }
  void SetProgressMaximum(int maximum) override { inner_->SetProgressMaximum(maximum); }
  void SetProgressValue(int value) override { inner_->SetProgressValue(value); }
  void EnableButton(bool enabled) override { inner_->EnableButton(enabled); }
  void ShowMessage(const std::string& title, const std::string& text, int icon) override;
  void DrainEvents() override { inner_->DrainEvents(); }
  ViewEvent WaitEvent(int timeout_ms) override { return inner_->WaitEvent(timeout_ms); }
  void PostNotification(int type) override { inner_->PostNotification(type); }
  void ShowDetail(const std::string& line) override { inner_->ShowDetail(line); }
  void ShowTransfer(int64_t done, int64_t total) override { inner_->ShowTransfer(done, total); }

 private:
  ClientView* inner_;
  RunReport* report_;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_RUN_REPORT_H_
