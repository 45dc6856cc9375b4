// A BuilderUi that keeps the main window's fields and the file list in
// memory: the base of the console and the recording implementations.
#ifndef QUASTO_BUILDER_MODEL_UI_H_
#define QUASTO_BUILDER_MODEL_UI_H_

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "builder/builder_ui.h"

namespace quasto {

class ModelUi : public BuilderUi {
 public:
  void SetProjectName(const std::string& text) override { project_name_ = text; }
  void SetVersionText(const std::string& text) override { version_ = text; }
  std::string VersionText() const override { return version_; }
  void SetDateValue(int32_t date) override { date_ = date; }
  int32_t DateValue() const override { return date_; }
  void EnableUpload(bool enabled) override { upload_enabled_ = enabled; }
  void ShowRecentProjects(const std::array<std::string, 3>& texts) override { recent_ = texts; }

  void ClearFileList() override { rows_.clear(); }
  void InsertRowAtTop(const ListRow& row) override { rows_.push_front(row); }
  int RowCount() const override { return static_cast<int>(rows_.size()); }
  ListRow Row(int index) const override { return rows_.at(static_cast<size_t>(index)); }
  void SetRowChecked(int index, bool checked) override {
    rows_.at(static_cast<size_t>(index)).checked = checked;
  }
  void SetRowRule(int index, const std::string& label) override {
    rows_.at(static_cast<size_t>(index)).rule = label;
  }
  int SelectedRow() const override { return selected_; }
  void SelectRow(int index) { selected_ = index; }
  std::optional<std::string> AskKeyPassword() override {
    ++password_asks;
    return key_password;
  }

  // Records the question and answers `yes_answer`.
  bool AskYesNo(const std::string& caption, const std::string& text,
                const std::string& question) override {
    questions.push_back(caption + "|" + text + "|" + question);
    return yes_answer;
  }
  std::vector<std::string> questions;
  bool yes_answer = true;

  // Trusts the key whose fingerprint is `accepted_host_key`, no other.
  bool ConfirmHostKey(const std::string& text, const std::string& fingerprint) override {
    ++host_key_asks;
    host_key_question = text;
    return !accepted_host_key.empty() && fingerprint == accepted_host_key;
  }
  std::string accepted_host_key;
  int host_key_asks = 0;
  std::string host_key_question;  // the last one asked

  // What AskKeyPassword answers, and how often it was asked.
  std::optional<std::string> key_password;
  int password_asks = 0;

  const std::string& project_name() const { return project_name_; }
  bool upload_enabled() const { return upload_enabled_; }
  const std::array<std::string, 3>& recent() const { return recent_; }

 private:
  std::string project_name_;
  std::string version_;
  int32_t date_ = 0;
  bool upload_enabled_ = false;
  std::array<std::string, 3> recent_ = {"-----", "-----", "-----"};
  std::deque<ListRow> rows_;
  int selected_ = -1;
};

}  // namespace quasto

#endif  // QUASTO_BUILDER_MODEL_UI_H_
