// The BuilderUi of the command line: messages are printed with their
// caption, progress is a bar on a terminal and plain lines elsewhere, and
// dialogs are filled from the command's options.
#ifndef QUASTO_BUILDER_CONSOLE_UI_H_
#define QUASTO_BUILDER_CONSOLE_UI_H_

#include <functional>
#include <ostream>

#include "builder/model_ui.h"

namespace quasto {

class ConsoleUi : public ModelUi {
 public:
  ConsoleUi(std::ostream& out, std::ostream& err, bool terminal)
      : out_(out), err_(err), terminal_(terminal) {}

  void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override;
  bool AskYesNo(const std::string& caption, const std::string& text,
                const std::string&) override {
    ShowMessage(caption, text, MessageIcon::kWarning);
    return true;
  }
  void BeginProgress(const std::string& title, int maximum) override;
  void ProgressText(const std::string& text) override;
  void ProgressStep(int value) override;
  void EndProgress() override;
  void FlushEvents() override {}

  std::optional<std::string> PickFolder(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> PickFile(const std::string&, const std::string&,
                                      const std::string&) override {
    return std::nullopt;
  }
  bool RunProjectDialog(ProjectDialog& dialog) override {
    return project_dialog ? project_dialog(dialog) : false;
  }
  bool RunFtpDialog(FtpDialog& dialog) override { return ftp_dialog ? ftp_dialog(dialog) : false; }

  std::function<bool(ProjectDialog&)> project_dialog;
  std::function<bool(FtpDialog&)> ftp_dialog;

 private:
  void DrawBar();

  std::ostream& out_;
  std::ostream& err_;
  bool terminal_;
  bool open_ = false;
  std::string title_;
  std::string text_;
  int maximum_ = 100;
  int value_ = 0;
};

// True when the standard output is a terminal.
bool StdoutIsTerminal();

}  // namespace quasto

#endif  // QUASTO_BUILDER_CONSOLE_UI_H_
