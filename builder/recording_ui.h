// A BuilderUi for tests: records messages and progress, answers pickers and
// dialogs from scripted handlers.
#ifndef QUASTO_BUILDER_RECORDING_UI_H_
#define QUASTO_BUILDER_RECORDING_UI_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "builder/model_ui.h"

namespace quasto {

class RecordingUi : public ModelUi {
 public:
  struct Message {
    std::string caption;
    std::string text;
    MessageIcon icon;
  };

  void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override {
    messages.push_back({caption, text, icon});
  }
  void BeginProgress(const std::string& title, int maximum) override {
    progress_open = true;
    progress.push_back("begin " + title + " " + std::to_string(maximum));
  }
  void ProgressText(const std::string& text) override {
    if (progress_open) progress.push_back("text " + text);
  }
  void ProgressStep(int value) override {
    if (progress_open) progress.push_back("step " + std::to_string(value));
  }
  void EndProgress() override {
    progress_open = false;
    progress.push_back("end");
  }
  void FlushEvents() override { ++flushes; }

  std::optional<std::string> PickFolder(const std::string& title, const std::string& start) override {
    pickers.push_back(title + " @ " + start);
    return folder_answer;
  }
  std::optional<std::string> PickFile(const std::string& title, const std::string& start,
                                      const std::string& pattern) override {
    pickers.push_back(title + " @ " + start + " | " + pattern);
    return file_answer;
  }

  bool RunProjectDialog(ProjectDialog& dialog) override {
    return project_dialog ? project_dialog(dialog) : false;
  }
  bool RunFtpDialog(FtpDialog& dialog) override { return ftp_dialog ? ftp_dialog(dialog) : false; }

  std::vector<Message> messages;
  std::vector<std::string> progress;
  bool progress_open = false;
  int flushes = 0;
  std::vector<std::string> pickers;
  std::optional<std::string> folder_answer;
  std::optional<std::string> file_answer;
  std::function<bool(ProjectDialog&)> project_dialog;
  std::function<bool(FtpDialog&)> ftp_dialog;
};

}  // namespace quasto

#endif  // QUASTO_BUILDER_RECORDING_UI_H_
