// The builder's Windows GUI as one BuilderUi: the host that owns the
// windows, their fonts and numbers, the event loops and the window layout.
// Each window lives in a file of its own (main_window_win32.cpp,
// file_list_win32.cpp, progress_window_win32.cpp, the dialogs' files and
// pickers_win32.cpp); this header is what they share.
#ifndef QUASTO_BUILDER_GUI_WIN32_H_
#define QUASTO_BUILDER_GUI_WIN32_H_

#include <windows.h>

#include <array>
#include <map>
#include <optional>
#include <string>

#include "builder/builder_state.h"
#include "builder/builder_ui.h"
#include "builder/gui_controls_win32.h"
#include "builder/window_layout.h"

namespace quasto::gui {

// Window numbers of the layout tables.
inline constexpr int kMainWindow = 1;
inline constexpr int kFtpWindow = 2;
inline constexpr int kProjectWindow = 3;
inline constexpr int kProgressWindow = 4;
inline constexpr int kPasswordWindow = 5;

// Controls of the main window.
enum MainControl : int {
  kContainer = 53,
  kProjectLabel = 54,
  kProjectField = 55,
  kFileList = 56,
  kGenerateButton = 57,
  kUploadButton = 58,
  kVersionLabel = 60,
  kVersionField = 61,
  kDateLabel = 62,
  kDateControl = 63,
};

LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

class Win32Ui : public BuilderUi, public LayoutHost {
 public:
  explicit Win32Ui(BuilderState& st) : st_(st), layout_(*this) {}
  ~Win32Ui() override { ReleaseResources(); }

  WindowLayout& layout() { return layout_; }
  HWND main() const { return main_; }

  // main_window_win32.cpp
  bool OpenMainWindow();
  void CloseMainWindow();
  LRESULT OnMainMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  void RunEventLoop();
  LRESULT OnPopupMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  // --- BuilderUi
  void ShowMessage(const std::string& caption, const std::string& text,
                   MessageIcon icon) override;
  bool AskYesNo(const std::string& caption, const std::string& text,
                const std::string& question) override;
  // progress_window_win32.cpp
  void BeginProgress(const std::string& title, int maximum) override;
  void ProgressText(const std::string& text) override;
  void ProgressStep(int value) override;
  void EndProgress() override;
  void FlushEvents() override;

  // main_window_win32.cpp
  void SetProjectName(const std::string& text) override;
  void SetVersionText(const std::string& text) override;
  std::string VersionText() const override;
  void SetDateValue(int32_t date) override;
  int32_t DateValue() const override;
  void EnableUpload(bool enabled) override;
  void ShowRecentProjects(const std::array<std::string, 3>& texts) override;

  // file_list_win32.cpp
  void ClearFileList() override;
  void InsertRowAtTop(const ListRow& row) override;
  int RowCount() const override;
  ListRow Row(int index) const override;
  void SetRowChecked(int index, bool checked) override;
  void SetRowRule(int index, const std::string& label) override;
  int SelectedRow() const override;

  // pickers_win32.cpp
  std::optional<std::string> PickFolder(const std::string& title,
                                        const std::string& start) override;
  std::optional<std::string> PickFile(const std::string& title, const std::string& start,
                                      const std::string& pattern) override;
  // The dialogs' files.
  bool RunProjectDialog(ProjectDialog& dialog) override;
  bool RunFtpDialog(FtpDialog& dialog) override;
  std::optional<std::string> AskKeyPassword() override;
  bool ConfirmHostKey(const std::string& text, const std::string& fingerprint) override;

  // --- LayoutHost
  bool WindowExists(int window) const override;
  void InnerSize(int window, int* width, int* height) const override;
  void OuterPosition(int window, int* x, int* y) const override;
  WindowState State(int window) const override;
  void PlaceWindow(int window, int x, int y, int width, int height) override;
  bool ControlExists(int control) const override;
  ControlRect ControlGeometry(int control) const override;
  void SetControlGeometry(int control, const ControlRect& rect) override;
  bool IsColumnList(int control) const override;
  int ColumnWidth(int control, int column) const override;
  void SetColumnWidth(int control, int column, int width) override;

  // Window numbers, for the layout's size and move handlers.
  void RememberWindow(HWND h, int number) { numbers_[h] = number; }
  void ForgetWindow(HWND h) { numbers_.erase(h); }
  int NumberOf(HWND h) const {
    auto it = numbers_.find(h);
    return it == numbers_.end() ? 0 : it->second;
  }

  // Geometry is given for 96 DPI. The program declares itself DPI-aware, so
  // that text stays sharp; fonts follow the DPI by their point sizes, and
  // every position and size follows it here, keeping the proportions.
  int Scaled(int v) const { return MulDiv(v, dpi_, 96); }

  HFONT font(int which) const { return fonts_[which]; }
  enum FontId { kArial10Bold, kArial9Bold, kArial8Bold, kConsolas10, kConsolas10Bold, kFontCount };

  // Creates a control with the font of the main window unless told.
  HWND AddControl(HWND parent, const wchar_t* cls, const std::wstring& text, DWORD style,
                  DWORD ex_style, int id, int x, int y, int w, int h, HFONT font);

  ModalWindow* modal() const { return modal_; }
  // The window that owns a message box or picker: the open dialog, else the
  // main window.
  HWND Owner() const { return modal_ != nullptr ? modal_->hwnd : main_; }
  bool RunModal(ModalWindow& window);
  // A popup of the given inner size at x, y (CW_USEDEFAULT: centred on the
  // owner), in 96-DPI units.
  HWND MakePopup(HWND owner, const wchar_t* title, DWORD ex_style, int x, int y, int width,
                 int height);

 private:
  HWND WindowOf(int number) const {
    for (const auto& [h, n] : numbers_) {
      if (n == number && IsWindow(h)) return h;
    }
    return nullptr;
  }
  HWND Control(int id) const {
    for (const auto& [h, n] : numbers_) {
      if (HWND c = FindControl(h, id)) return c;
    }
    return nullptr;
  }
  // Common controls, window classes, the DPI and the fonts, before the first window.
  void PrepareWindows();
  void Command(int id);
  void ShowRowMenu();
  const FileEntry* EntryOf(int item) const {
    return item >= 0 && static_cast<size_t>(item) < st_.file_list.size()
               ? &st_.file_list[static_cast<size_t>(item)]
               : nullptr;
  }
  bool IsRemovedRow(int item) const {
    const FileEntry* f = EntryOf(item);
    return f != nullptr && f->Removed;
  }
  bool IsRefusedRow(int item) const {
    const FileEntry* f = EntryOf(item);
    return f != nullptr && !f->Refused.empty();
  }
  // Neither packed nor published: shown grey, never checked.
  bool IsInertRow(int item) const { return IsRemovedRow(item) || IsRefusedRow(item); }
  HWND MakeFileList();
  LRESULT OnListNotify(const NMHDR* hdr);
  void ReleaseResources();

  BuilderState& st_;
  WindowLayout layout_;
  HWND main_ = nullptr;
  HWND progress_ = nullptr;
  HMENU row_menu_ = nullptr;
  HFONT fonts_[kFontCount] = {};
  HBRUSH white_ = nullptr;
  int dpi_ = 96;
  std::map<HWND, int> numbers_;
  // Set while an action runs: menu, button and close events are dropped.
  bool busy_ = false;
  ModalWindow* modal_ = nullptr;
};

}  // namespace quasto::gui

#endif  // QUASTO_BUILDER_GUI_WIN32_H_
