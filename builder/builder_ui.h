// The builder's windows as its logic sees them. The Win32 GUI, the console
// program and the tests each implement this; the logic never reaches a
// window any other way.
#ifndef QUASTO_BUILDER_BUILDER_UI_H_
#define QUASTO_BUILDER_BUILDER_UI_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace quasto {

// Message box icons, with the values of the Windows message box flags.
enum class MessageIcon : uint32_t {
  kError = 0x10,
  kWarning = 0x30,
  kInformation = 0x40,
};

// One row of the file list: columns "Datei", "Verzeichnis", "Optionen", the
// check mark and the position of its FileEntry in the FileList.
struct ListRow {
  std::string name;
  std::string path;
  std::string rule;
  bool checked = false;
  int item = -1;
  bool removed = false;  // gone from the source folder: shown as such, never checked
  std::string refused;   // why it is not published: shown as such, never checked
};

class ProjectDialog;
class FtpDialog;

class BuilderUi {
 public:
  virtual ~BuilderUi() = default;

  // A modal box with an OK button.
  virtual void ShowMessage(const std::string& caption, const std::string& text,
                           MessageIcon icon) = 0;
  // A modal box that warns with `text` and asks `question`, with the buttons
  // Yes and No (the default); true for Yes. The command line prints the
  // warning and takes its options as the answer: yes.
  virtual bool AskYesNo(const std::string& caption, const std::string& text,
                        const std::string& question) = 0;

  // The shared progress window.
  virtual void BeginProgress(const std::string& title, int maximum) = 0;
  virtual void ProgressText(const std::string& text) = 0;
  virtual void ProgressStep(int value) = 0;
  virtual void EndProgress() = 0;
  // Lets windows repaint; user commands that arrived meanwhile are dropped.
  virtual void FlushEvents() = 0;

  // Main window fields: project name (55), version (61), date (63).
  virtual void SetProjectName(const std::string& text) = 0;
  virtual void SetVersionText(const std::string& text) = 0;
  virtual std::string VersionText() const = 0;
  virtual void SetDateValue(int32_t date) = 0;
  virtual int32_t DateValue() const = 0;
  // Button "Hochladen" (58).
  virtual void EnableUpload(bool enabled) = 0;
  // Menu items 7 to 9.
  virtual void ShowRecentProjects(const std::array<std::string, 3>& texts) = 0;

  // File list (56). Rows are inserted at the top.
  virtual void ClearFileList() = 0;
  virtual void InsertRowAtTop(const ListRow& row) = 0;
  virtual int RowCount() const = 0;
  virtual ListRow Row(int index) const = 0;
  virtual void SetRowChecked(int index, bool checked) = 0;
  virtual void SetRowRule(int index, const std::string& label) = 0;
  // Index of the selected row, -1 when none.
  virtual int SelectedRow() const = 0;

  // Pickers; nothing when the user cancels. Folders end in "\".
  virtual std::optional<std::string> PickFolder(const std::string& title,
                                                const std::string& start) = 0;
  virtual std::optional<std::string> PickFile(const std::string& title, const std::string& start,
                                              const std::string& pattern) = 0;

  // Modal dialogs. The implementation shows the dialog's fields, calls its
  // handlers for the user's actions, and returns true once Apply() has
  // succeeded, false when the dialog was closed without that.
  virtual bool RunProjectDialog(ProjectDialog& dialog) = 0;
  virtual bool RunFtpDialog(FtpDialog& dialog) = 0;
  // Asks for the password of the signing key; nothing when the user cancels.
  virtual std::optional<std::string> AskKeyPassword() = 0;
  // Asks whether an SFTP server that is not known yet is to be trusted with
  // the key of that fingerprint from now on; `text` says what is asked.
  virtual bool ConfirmHostKey(const std::string& text, const std::string& fingerprint) = 0;
};

}  // namespace quasto

#endif  // QUASTO_BUILDER_BUILDER_UI_H_
