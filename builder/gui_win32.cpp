// The update builder's Windows GUI: the main window with its menus and
// controls, the progress window, the project and FTP dialogs, the event loop
// and the window layout's host. The actions are the portable logic's; this
// file only shows windows and turns user actions into commands.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "builder/builder_app.h"
#include "builder/builder_ui.h"
#include "builder/generation.h"
#include "builder/project.h"
#include "builder/upload.h"
#include "builder/window_layout.h"
#include "shared/dates.h"
#include "shared/folders.h"

namespace quasto {
namespace {

constexpr wchar_t kMainClass[] = L"QuastorellBuilder";
constexpr wchar_t kPanelClass[] = L"QuastorellPanel";
constexpr wchar_t kPopupClass[] = L"QuastorellPopup";

// Window numbers of the layout tables.
constexpr int kMainWindow = 1;
constexpr int kFtpWindow = 2;
constexpr int kProjectWindow = 3;
constexpr int kProgressWindow = 4;
constexpr int kPasswordWindow = 5;

constexpr int kMainInnerWidth = 510;
constexpr int kMainInnerHeight = 429;

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
  kProgressLabel = 14,
  kProgressBar = 15,
};

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

std::string TextOf(HWND h) {
  if (h == nullptr) return {};
  int len = GetWindowTextLengthW(h);
  std::wstring w(static_cast<size_t>(len) + 1, L'\0');
  GetWindowTextW(h, w.data(), len + 1);
  w.resize(wcslen(w.c_str()));
  return Utf8(w);
}

void SetText(HWND h, const std::string& text) {
  if (h != nullptr) SetWindowTextW(h, Wide(text).c_str());
}

// Controls live inside containers, so they are searched among all
// descendants rather than the direct children only.
struct ControlSearch {
  int id;
  HWND found = nullptr;
};

BOOL CALLBACK FindControlProc(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<ControlSearch*>(lp);
  if (GetDlgCtrlID(h) == s->id) {
    s->found = h;
    return FALSE;
  }
  return TRUE;
}

HWND FindControl(HWND window, int id) {
  if (window == nullptr) return nullptr;
  ControlSearch s{id};
  EnumChildWindows(window, FindControlProc, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

bool IsUserInput(UINT msg) {
  return (msg >= WM_KEYFIRST && msg <= WM_KEYLAST) || (msg >= WM_MOUSEFIRST && msg <= WM_MOUSELAST);
}

HFONT MakeFont(const wchar_t* face, int points, bool bold) {
  HDC dc = GetDC(nullptr);
  const int height = -MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72);
  ReleaseDC(nullptr, dc);
  return CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, face);
}

// The frame around a client area of the given size, for windows of that style.
SIZE OuterSize(DWORD style, DWORD ex_style, bool menu, int width, int height) {
  RECT r{0, 0, width, height};
  AdjustWindowRectEx(&r, style, menu ? TRUE : FALSE, ex_style);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
LRESULT CALLBACK PopupProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

class Win32Ui;
Win32Ui* g_ui = nullptr;

// A modal window of the builder with its own event loop.
class ModalWindow {
 public:
  virtual ~ModalWindow() = default;
  virtual void OnCommand(int id, int code) = 0;
  HWND hwnd = nullptr;
  bool done = false;
  bool result = false;
};

class Win32Ui : public BuilderUi, public LayoutHost {
 public:
  explicit Win32Ui(BuilderState& st) : st_(st), layout_(*this) {}
  ~Win32Ui() override { ReleaseResources(); }

  WindowLayout& layout() { return layout_; }
  HWND main() const { return main_; }

  bool OpenMainWindow();
  void RunEventLoop();
  void CloseMainWindow() {
    if (main_ != nullptr) DestroyWindow(main_);
    main_ = nullptr;
  }

  LRESULT OnMainMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT OnPopupMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  // --- BuilderUi
  void ShowMessage(const std::string& caption, const std::string& text,
                   MessageIcon icon) override {
    HWND owner = modal_ != nullptr ? modal_->hwnd : main_;
    MessageBoxW(owner, Wide(text).c_str(), Wide(caption).c_str(),
                MB_OK | static_cast<UINT>(icon));
  }
  void BeginProgress(const std::string& title, int maximum) override;
  void ProgressText(const std::string& text) override {
    if (progress_ != nullptr) SetText(GetDlgItem(progress_, kProgressLabel), text);
  }
  void ProgressStep(int value) override {
    if (progress_ == nullptr) return;
    SendMessageW(GetDlgItem(progress_, kProgressBar), PBM_SETPOS, static_cast<WPARAM>(value), 0);
    FlushEvents();
  }
  void EndProgress() override {
    if (progress_ == nullptr) return;
    ForgetWindow(progress_);
    DestroyWindow(progress_);
    progress_ = nullptr;
  }
  void FlushEvents() override;

  void SetProjectName(const std::string& text) override { SetText(Control(kProjectField), text); }
  void SetVersionText(const std::string& text) override { SetText(Control(kVersionField), text); }
  std::string VersionText() const override { return TextOf(Control(kVersionField)); }
  void SetDateValue(int32_t date) override;
  int32_t DateValue() const override;
  void EnableUpload(bool enabled) override {
    EnableWindow(Control(kUploadButton), enabled ? TRUE : FALSE);
  }
  void ShowRecentProjects(const std::array<std::string, 3>& texts) override;

  void ClearFileList() override { SendMessageW(Control(kFileList), LVM_DELETEALLITEMS, 0, 0); }
  void InsertRowAtTop(const ListRow& row) override;
  int RowCount() const override {
    return static_cast<int>(SendMessageW(Control(kFileList), LVM_GETITEMCOUNT, 0, 0));
  }
  ListRow Row(int index) const override;
  void SetRowChecked(int index, bool checked) override {
    ListView_SetCheckState(Control(kFileList), index, checked ? TRUE : FALSE);
  }
  void SetRowRule(int index, const std::string& label) override {
    std::wstring w = Wide(label);
    ListView_SetItemText(Control(kFileList), index, 2, w.data());
  }
  int SelectedRow() const override {
    return static_cast<int>(
        SendMessageW(Control(kFileList), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
  }

  std::optional<std::string> PickFolder(const std::string& title,
                                        const std::string& start) override;
  std::optional<std::string> PickFile(const std::string& title, const std::string& start,
                                      const std::string& pattern) override;
  bool RunProjectDialog(ProjectDialog& dialog) override;
  bool RunFtpDialog(FtpDialog& dialog) override;
  std::optional<std::string> AskKeyPassword() override;
  bool ConfirmHostKey(const std::string& text, const std::string& fingerprint) override;

  // --- LayoutHost
  bool WindowExists(int window) const override { return WindowOf(window) != nullptr; }
  void InnerSize(int window, int* width, int* height) const override;
  void OuterPosition(int window, int* x, int* y) const override {
    RECT r{};
    GetWindowRect(WindowOf(window), &r);
    *x = r.left;
    *y = r.top;
  }
  WindowState State(int window) const override {
    HWND h = WindowOf(window);
    if (IsIconic(h)) return WindowState::kMinimized;
    if (IsZoomed(h)) return WindowState::kMaximized;
    return WindowState::kNormal;
  }
  void PlaceWindow(int window, int x, int y, int width, int height) override;
  bool ControlExists(int control) const override { return Control(control) != nullptr; }
  ControlRect ControlGeometry(int control) const override;
  void SetControlGeometry(int control, const ControlRect& rect) override {
    MoveWindow(Control(control), rect.x, rect.y, rect.width, rect.height, TRUE);
  }
  bool IsColumnList(int control) const override {
    wchar_t cls[64] = {};
    GetClassNameW(Control(control), cls, 64);
    return _wcsicmp(cls, WC_LISTVIEWW) == 0;
  }
  int ColumnWidth(int control, int column) const override {
    return static_cast<int>(
        SendMessageW(Control(control), LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
  }
  void SetColumnWidth(int control, int column, int width) override {
    SendMessageW(Control(control), LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
                 MAKELPARAM(width, 0));
  }

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

void RegisterClasses(HINSTANCE inst) {
  HICON icon = LoadIconW(inst, MAKEINTRESOURCEW(1));
  HICON small_icon = static_cast<HICON>(
      LoadImageW(inst, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                 GetSystemMetrics(SM_CYSMICON), 0));
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.hInstance = inst;
  wc.hIcon = icon;
  wc.hIconSm = small_icon;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpfnWndProc = MainProc;
  wc.lpszClassName = kMainClass;
  RegisterClassExW(&wc);
  wc.lpfnWndProc = PanelProc;
  wc.lpszClassName = kPanelClass;
  wc.hIcon = wc.hIconSm = nullptr;
  RegisterClassExW(&wc);
  wc.lpfnWndProc = PopupProc;
  wc.lpszClassName = kPopupClass;
  wc.hIcon = icon;
  wc.hIconSm = small_icon;
  RegisterClassExW(&wc);
}

HWND Win32Ui::AddControl(HWND parent, const wchar_t* cls, const std::wstring& text, DWORD style,
                         DWORD ex_style, int id, int x, int y, int w, int h, HFONT font) {
  HWND c = CreateWindowExW(ex_style, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, Scaled(x),
                           Scaled(y), Scaled(w), Scaled(h), parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
  if (c != nullptr) SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  return c;
}

bool Win32Ui::OpenMainWindow() {
  HINSTANCE inst = GetModuleHandleW(nullptr);
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_DATE_CLASSES |
                                            ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  RegisterClasses(inst);
  HDC screen = GetDC(nullptr);
  dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  fonts_[kArial10Bold] = MakeFont(L"Arial", 10, true);
  fonts_[kArial9Bold] = MakeFont(L"Arial", 9, true);
  fonts_[kArial8Bold] = MakeFont(L"Arial", 8, true);
  fonts_[kConsolas10] = MakeFont(L"Consolas", 10, false);
  fonts_[kConsolas10Bold] = MakeFont(L"Consolas", 10, true);
  white_ = CreateSolidBrush(RGB(255, 255, 255));

  HMENU bar = CreateMenu();
  HMENU projects = CreatePopupMenu();
  AppendMenuW(projects, MF_STRING, kCmdNewProject, L"Neue Projekt");
  AppendMenuW(projects, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(projects, MF_STRING, kCmdOpenProject, L"Projekt öffnen");
  AppendMenuW(projects, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(projects, MF_STRING, kCmdRecent1, L"-----");
  AppendMenuW(projects, MF_STRING, kCmdRecent2, L"-----");
  AppendMenuW(projects, MF_STRING, kCmdRecent3, L"-----");
  HMENU settings = CreatePopupMenu();
  AppendMenuW(settings, MF_STRING, kCmdFtpSettings, L"FTP konfigurieren");
  AppendMenuW(settings, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(settings, MF_STRING, kCmdConfigureProject, L"Projekt konfigurieren");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(projects), L"Projekte");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(settings), L"Einstellungen");

  row_menu_ = CreatePopupMenu();
  AppendMenuW(row_menu_, MF_STRING, kCmdRuleNormal, L"-----");
  AppendMenuW(row_menu_, MF_STRING, kCmdRuleIfNotExist, L"IfNotExist");
  AppendMenuW(row_menu_, MF_STRING, kCmdRuleNoUpdate, L"NoUpdate");
  AppendMenuW(row_menu_, MF_STRING, kCmdRuleDelete, L"Delete");

  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_CLIPCHILDREN;
  const int inner_width = Scaled(kMainInnerWidth), inner_height = Scaled(kMainInnerHeight);
  const SIZE outer = OuterSize(style, 0, true, inner_width, inner_height);
  const int x = (GetSystemMetrics(SM_CXSCREEN) - outer.cx) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - outer.cy) / 2;
  main_ = CreateWindowExW(0, kMainClass, L"Internet Update erstellen", style, x, y, outer.cx,
                          outer.cy, nullptr, bar, inst, this);
  if (main_ == nullptr) {
    DestroyMenu(bar);
    return false;
  }
  RememberWindow(main_, kMainWindow);
  // The menu may wrap or differ in height from the estimate: fit the client
  // area exactly.
  RECT client{};
  GetClientRect(main_, &client);
  if (client.bottom != inner_height || client.right != inner_width) {
    RECT wr{};
    GetWindowRect(main_, &wr);
    SetWindowPos(main_, nullptr, 0, 0, wr.right - wr.left + inner_width - client.right,
                 wr.bottom - wr.top + inner_height - client.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  HFONT f = fonts_[kArial10Bold];
  HWND panel = AddControl(main_, kPanelClass, L"", WS_CLIPSIBLINGS, WS_EX_STATICEDGE |
                          WS_EX_CONTROLPARENT, kContainer, 5, 4, 500, 32, f);
  AddControl(panel, L"STATIC", L"Projekt:", SS_RIGHT, 0, kProjectLabel, 6, 7, 52, 18, f);
  // The date with its leading blank and the drop-down button needs 96
  // pixels in Arial 10 bold; the name and version fields make room.
  AddControl(panel, L"EDIT", L"", ES_READONLY | ES_AUTOHSCROLL | WS_BORDER, 0, kProjectField, 63,
             6, 140, 20, f);
  AddControl(panel, L"STATIC", L"Version:", SS_RIGHT, 0, kVersionLabel, 211, 7, 55, 18, f);
  AddControl(panel, L"EDIT", L"", ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 0, kVersionField, 270,
             6, 64, 20, f);
  AddControl(panel, L"STATIC", L"Datum:", SS_RIGHT, 0, kDateLabel, 340, 7, 50, 18, f);
  HWND date = AddControl(panel, DATETIMEPICK_CLASSW, L"", DTS_SHORTDATEFORMAT | WS_TABSTOP, 0,
                         kDateControl, 394, 5, 96, 22, f);
  SendMessageW(date, DTM_SETFORMATW, 0, reinterpret_cast<LPARAM>(L"' 'dd'.'MM'.'yyyy"));
  SYSTEMTIME now{};
  GetLocalTime(&now);
  SendMessageW(date, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&now));

  HWND list = AddControl(main_, WC_LISTVIEWW, L"",
                         LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_BORDER | WS_TABSTOP,
                         0, kFileList, 5, 40, 500, 335, f);
  // A name cut off by its column (and the reason a file is not published)
  // shows whole in a tip.
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_CHECKBOXES | LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);
  // The first column takes what the others and a vertical scroll bar leave,
  // so that "Optionen" is not pushed out of sight once the list scrolls.
  RECT list_area{};
  GetClientRect(list, &list_area);
  const int fixed = Scaled(150) + Scaled(75) + GetSystemMetrics(SM_CXVSCROLL);
  const struct {
    const wchar_t* title;
    int width;
  } columns[] = {{L"Datei", list_area.right - fixed}, {L"Verzeichnis", Scaled(150)},
                 {L"Optionen", Scaled(75)}};
  for (int i = 0; i < 3; ++i) {
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = const_cast<wchar_t*>(columns[i].title);
    col.cx = columns[i].width;
    col.iSubItem = i;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&col));
  }
  AddControl(main_, L"BUTTON", L"Erstellen", BS_PUSHBUTTON | WS_TABSTOP, 0, kGenerateButton, 5,
             380, 90, 24, f);
  AddControl(main_, L"BUTTON", L"Hochladen", BS_PUSHBUTTON | WS_TABSTOP, 0, kUploadButton, 115,
             380, 90, 24, f);

  layout_.RegisterAnchor(kMainWindow, kFileList, kAnchorLeft | kAnchorTop | kAnchorRight |
                                                     kAnchorBottom);
  layout_.RegisterStretchColumn(kFileList, 0);
  layout_.RegisterAnchor(kMainWindow, kGenerateButton, kAnchorLeft | kAnchorBottom);
  layout_.RegisterAnchor(kMainWindow, kUploadButton, kAnchorLeft | kAnchorBottom);
  layout_.RestoreWindowLayout(kMainWindow);
  EnableUpload(false);
  ShowWindow(main_, SW_SHOWNORMAL);
  UpdateWindow(main_);
  return true;
}

void Win32Ui::InnerSize(int window, int* width, int* height) const {
  HWND h = WindowOf(window);
  RECT wr{};
  GetWindowRect(h, &wr);
  const SIZE frame = OuterSize(static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE)),
                               static_cast<DWORD>(GetWindowLongW(h, GWL_EXSTYLE)), false, 0, 0);
  if (IsIconic(h)) {
    *width = *height = 0;
    return;
  }
  *width = wr.right - wr.left - frame.cx;
  *height = wr.bottom - wr.top - frame.cy;
}

void Win32Ui::PlaceWindow(int window, int x, int y, int width, int height) {
  HWND h = WindowOf(window);
  const SIZE frame = OuterSize(static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE)),
                               static_cast<DWORD>(GetWindowLongW(h, GWL_EXSTYLE)), false, 0, 0);
  SetWindowPos(h, nullptr, x, y, width + frame.cx, height + frame.cy,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

ControlRect Win32Ui::ControlGeometry(int control) const {
  HWND c = Control(control);
  RECT r{};
  GetWindowRect(c, &r);
  MapWindowPoints(nullptr, GetParent(c), reinterpret_cast<POINT*>(&r), 2);
  return ControlRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
}

// The dialog manager turns Escape into command 2 (IDCANCEL) and Enter into
// command 1 (IDOK), both without a sender, just like menu commands: on the
// main window, command 2 is "Neue Projekt". Those keys bypass it; Enter on a
// focused push button still presses it.
bool KeepFromDialogManager(const MSG& msg) {
  if (msg.message != WM_KEYDOWN && msg.message != WM_KEYUP && msg.message != WM_CHAR) return false;
  if (msg.wParam == VK_ESCAPE) return true;
  if (msg.wParam != VK_RETURN) return false;
  wchar_t cls[16] = {};
  GetClassNameW(msg.hwnd, cls, 16);
  const LONG type = GetWindowLongW(msg.hwnd, GWL_STYLE) & BS_TYPEMASK;
  return _wcsicmp(cls, L"Button") != 0 || (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON);
}

void Win32Ui::RunEventLoop() {
  MSG msg;
  while (!st_.quit && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!KeepFromDialogManager(msg) && IsDialogMessageW(main_, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void Win32Ui::FlushEvents() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    // Clicks and keys are user commands; the busy flag drops the commands
    // that still arrive another way (menus, the close box).
    if (IsUserInput(msg.message)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void Win32Ui::Command(int id) {
  if (busy_) return;
  busy_ = true;
  try {
    HandleCommand(st_, *this, id);
  } catch (...) {
    // An action that failed leaves the builder running.
  }
  EndProgress();
  busy_ = false;
}

LRESULT Win32Ui::OnListNotify(const NMHDR* hdr) {
  switch (hdr->code) {
    case NM_RCLICK:
      if (!busy_) ShowRowMenu();
      return 0;
    case LVN_ITEMCHANGING: {
      // A removed or refused file cannot be packed: its check box stays clear.
      const auto* change = reinterpret_cast<const NMLISTVIEW*>(hdr);
      const bool checking = (change->uChanged & LVIF_STATE) != 0 &&
                            (change->uNewState & LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
      return checking && IsInertRow(static_cast<int>(change->lParam)) ? TRUE : FALSE;
    }
    case NM_CUSTOMDRAW: {
      auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(const_cast<NMHDR*>(hdr));
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT &&
          IsInertRow(static_cast<int>(draw->nmcd.lItemlParam))) {
        draw->clrText = GetSysColor(COLOR_GRAYTEXT);
      }
      return CDRF_DODEFAULT;
    }
    default:
      return 0;
  }
}

void Win32Ui::ShowRowMenu() {
  const int row = SelectedRow();
  if (row < 0) return;
  // A removed file takes Delete or no rule; the others mean nothing for it,
  // and no rule means anything for a file that is not published.
  const int item = Row(row).item;
  const UINT fits = IsInertRow(item) ? MF_GRAYED : MF_ENABLED;
  const UINT any = IsRefusedRow(item) ? MF_GRAYED : MF_ENABLED;
  EnableMenuItem(row_menu_, kCmdRuleNormal, MF_BYCOMMAND | any);
  EnableMenuItem(row_menu_, kCmdRuleIfNotExist, MF_BYCOMMAND | fits);
  EnableMenuItem(row_menu_, kCmdRuleNoUpdate, MF_BYCOMMAND | fits);
  EnableMenuItem(row_menu_, kCmdRuleDelete, MF_BYCOMMAND | any);
  POINT p{};
  GetCursorPos(&p);
  TrackPopupMenu(row_menu_, TPM_LEFTALIGN | TPM_RIGHTBUTTON, p.x, p.y, 0, main_, nullptr);
}

LRESULT Win32Ui::OnMainMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND: {
      const int id = LOWORD(wp);
      const int code = HIWORD(wp);
      if (lp == 0) {
        if (code == 0) Command(id);  // menu
      } else if (code == BN_CLICKED && (id == kGenerateButton || id == kUploadButton)) {
        Command(id);
      }
      return 0;
    }
    case WM_NOTIFY: {
      const auto* hdr = reinterpret_cast<const NMHDR*>(lp);
      if (hdr->idFrom == kFileList) return OnListNotify(hdr);
      return 0;
    }
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC: {
      const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lp));
      if (id == kProjectField || id == kVersionField) {
        HDC dc = reinterpret_cast<HDC>(wp);
        SetTextColor(dc, RGB(0, 0, 128));
        SetBkColor(dc, RGB(255, 255, 255));
        return reinterpret_cast<LRESULT>(white_);
      }
      break;
    }
    case WM_GETMINMAXINFO: {
      auto* mm = reinterpret_cast<MINMAXINFO*>(lp);
      const SIZE outer = OuterSize(static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)), 0, true,
                                   Scaled(kMainInnerWidth), Scaled(kMainInnerHeight));
      mm->ptMinTrackSize.x = outer.cx;
      mm->ptMinTrackSize.y = outer.cy;
      mm->ptMaxTrackSize.x = outer.cx;
      mm->ptMaxSize.x = outer.cx;
      mm->ptMaxTrackSize.y = 0x7FFF;
      return 0;
    }
    case WM_SIZE:
      if (NumberOf(hwnd) != 0) layout_.OnWindowSized(NumberOf(hwnd));
      return 0;
    case WM_MOVE:
      if (NumberOf(hwnd) != 0) layout_.OnWindowMoved(NumberOf(hwnd));
      return 0;
    case WM_CLOSE:
      // The close box ends the event loop, unless an action is running.
      if (!busy_) st_.quit = true;
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  try {
    if (msg == WM_NCCREATE) {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* ui = reinterpret_cast<Win32Ui*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (ui != nullptr) return ui->OnMainMessage(hwnd, msg, wp, lp);
  } catch (...) {
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// Containers pass their controls' notifications up to the window.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return SendMessageW(GetParent(hwnd), msg, wp, lp);
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

// Progress window and dialogs.
LRESULT CALLBACK PopupProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  try {
    if (g_ui != nullptr) return g_ui->OnPopupMessage(hwnd, msg, wp, lp);
  } catch (...) {
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT Win32Ui::OnPopupMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (modal_ != nullptr && modal_->hwnd == hwnd) modal_->OnCommand(LOWORD(wp), HIWORD(wp));
      return 0;
    case WM_CLOSE:
      // Only a dialog closes by its close box, with result 0; the progress
      // window stays until its action ends.
      if (modal_ != nullptr && modal_->hwnd == hwnd) modal_->done = true;
      return 0;
    case WM_SIZE:
      if (NumberOf(hwnd) != 0) layout_.OnWindowSized(NumberOf(hwnd));
      return 0;
    case WM_MOVE:
      if (NumberOf(hwnd) != 0) layout_.OnWindowMoved(NumberOf(hwnd));
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// Centres a popup of the given inner size on the main window.
POINT CentreOn(HWND owner, SIZE outer) {
  RECT r{};
  GetWindowRect(owner, &r);
  return POINT{r.left + (r.right - r.left - outer.cx) / 2, r.top + (r.bottom - r.top - outer.cy) / 2};
}

void Win32Ui::BeginProgress(const std::string& title, int maximum) {
  EndProgress();
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  const SIZE outer = OuterSize(style, WS_EX_TOOLWINDOW, false, Scaled(300), Scaled(75));
  const POINT at = CentreOn(main_, outer);
  progress_ = CreateWindowExW(WS_EX_TOOLWINDOW, kPopupClass, Wide(title).c_str(), style, at.x,
                              at.y, outer.cx, outer.cy, main_, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  if (progress_ == nullptr) return;
  RememberWindow(progress_, kProgressWindow);
  AddControl(progress_, L"STATIC", L"", SS_CENTER | SS_SUNKEN, 0, kProgressLabel, 10, 10, 280, 20,
             fonts_[kArial10Bold]);
  HWND bar = AddControl(progress_, PROGRESS_CLASSW, L"", 0, 0, kProgressBar, 10, 40, 280, 25,
                        nullptr);
  SendMessageW(bar, PBM_SETRANGE32, 0, maximum > 0 ? maximum : 100);
  ShowWindow(progress_, SW_SHOWNOACTIVATE);
  FlushEvents();
}

void Win32Ui::SetDateValue(int32_t date) {
  const CivilTime c = CivilFromDateValue(date);
  SYSTEMTIME t{};
  t.wYear = static_cast<WORD>(c.year);
  t.wMonth = static_cast<WORD>(c.month);
  t.wDay = static_cast<WORD>(c.day);
  t.wHour = static_cast<WORD>(c.hour);
  t.wMinute = static_cast<WORD>(c.minute);
  t.wSecond = static_cast<WORD>(c.second);
  SendMessageW(Control(kDateControl), DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&t));
}

int32_t Win32Ui::DateValue() const {
  SYSTEMTIME t{};
  if (SendMessageW(Control(kDateControl), DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&t)) !=
      GDT_VALID) {
    return 0;
  }
  return DateValueFromCivil(CivilTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond});
}

void Win32Ui::ShowRecentProjects(const std::array<std::string, 3>& texts) {
  HMENU bar = GetMenu(main_);
  for (int i = 0; i < 3; ++i) {
    std::wstring w = Wide(texts[static_cast<size_t>(i)]);
    ModifyMenuW(bar, static_cast<UINT>(kCmdRecent1 + i), MF_BYCOMMAND | MF_STRING,
                static_cast<UINT_PTR>(kCmdRecent1 + i), w.c_str());
  }
  DrawMenuBar(main_);
}

void Win32Ui::InsertRowAtTop(const ListRow& row) {
  HWND list = Control(kFileList);
  std::wstring name = Wide(!row.refused.empty() ? RefusedLabel(row.name, row.refused)
                           : row.removed       ? RemovedLabel(row.name)
                                               : row.name);
  std::wstring path = Wide(row.path), rule = Wide(row.rule);
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = 0;
  item.pszText = name.data();
  item.lParam = row.item;
  const int index =
      static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  if (index < 0) return;
  ListView_SetItemText(list, index, 1, path.data());
  ListView_SetItemText(list, index, 2, rule.data());
  ListView_SetCheckState(list, index, row.checked ? TRUE : FALSE);
}

ListRow Win32Ui::Row(int index) const {
  HWND list = Control(kFileList);
  ListRow row;
  wchar_t buf[1024];
  for (int col = 0; col < 3; ++col) {
    buf[0] = 0;
    ListView_GetItemText(list, index, col, buf, 1024);
    (col == 0 ? row.name : col == 1 ? row.path : row.rule) = Utf8(buf);
  }
  row.checked = ListView_GetCheckState(list, index) != 0;
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = index;
  if (SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) {
    row.item = static_cast<int>(item.lParam);
  }
  if (IsInertRow(row.item)) {
    const FileEntry& f = *EntryOf(row.item);
    row.removed = f.Removed;
    row.refused = f.Refused;
    row.name = f.Name;  // without the label
  }
  return row;
}

// ---- Pickers

int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM, LPARAM data) {
  if (msg == BFFM_INITIALIZED) {
    const auto* p = reinterpret_cast<const std::pair<std::wstring, std::wstring>*>(data);
    SetWindowTextW(hwnd, p->first.c_str());
    if (!p->second.empty()) {
      SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(p->second.c_str()));
    }
  }
  return 0;
}

std::optional<std::string> Win32Ui::PickFolder(const std::string& title,
                                               const std::string& start) {
  // The picker's caption carries the title too, so that it can be told apart.
  std::pair<std::wstring, std::wstring> data{Wide(title), Wide(start)};
  BROWSEINFOW bi{};
  bi.hwndOwner = modal_ != nullptr ? modal_->hwnd : main_;
  bi.lpszTitle = data.first.c_str();
  bi.ulFlags = BIF_RETURNONLYFSDIRS;
  bi.lpfn = BrowseCallback;
  bi.lParam = reinterpret_cast<LPARAM>(&data);
  PIDLIST_ABSOLUTE pidl = SHBrowseForFolderW(&bi);
  if (pidl == nullptr) return std::nullopt;
  wchar_t path[MAX_PATH] = {};
  const bool ok = SHGetPathFromIDListW(pidl, path) != FALSE;
  CoTaskMemFree(pidl);
  if (!ok || path[0] == 0) return std::nullopt;
  std::string folder = Utf8(path);
  if (folder.back() != '\\') folder += '\\';
  return folder;
}

std::optional<std::string> Win32Ui::PickFile(const std::string& title, const std::string& start,
                                             const std::string& pattern) {
  // "Label|*.ext" or a bare pattern, as a filter list of pairs.
  std::wstring filter = Wide(pattern);
  const size_t bar = filter.find(L'|');
  if (bar == std::wstring::npos) {
    filter = filter + L'\0' + filter;
  } else {
    filter[bar] = L'\0';
  }
  filter.push_back(L'\0');
  filter.push_back(L'\0');
  std::wstring wtitle = Wide(title), dir = Wide(start);
  std::vector<wchar_t> file(32768, L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = modal_ != nullptr ? modal_->hwnd : main_;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = dir.empty() ? nullptr : dir.c_str();
  ofn.lpstrTitle = wtitle.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
              OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&ofn)) return std::nullopt;
  return Utf8(file.data());
}

// ---- Dialogs

bool Win32Ui::RunModal(ModalWindow& window) {
  ModalWindow* outer = modal_;
  modal_ = &window;
  ShowWindow(window.hwnd, SW_SHOW);
  SetForegroundWindow(window.hwnd);
  MSG msg;
  while (!window.done) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      PostQuitMessage(0);
      break;
    }
    // The dialog takes every event; the other windows' clicks and keys are
    // dropped, their commands by the busy flag.
    const bool own = msg.hwnd == window.hwnd || IsChild(window.hwnd, msg.hwnd);
    if (IsUserInput(msg.message) && !own) continue;
    if (own && IsDialogMessageW(window.hwnd, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  modal_ = outer;
  ForgetWindow(window.hwnd);
  DestroyWindow(window.hwnd);
  if (main_ != nullptr) SetForegroundWindow(main_);
  return window.result;
}

// The dialog manager turns Enter into IDOK. As in a dialog of the system, a
// push button that has the focus is pressed; otherwise the dialog's default.
int FocusedButtonOr(HWND dialog, int default_button) {
  HWND focus = GetFocus();
  wchar_t cls[16] = {};
  if (focus != nullptr && IsChild(dialog, focus) && GetClassNameW(focus, cls, 16) > 0 &&
      _wcsicmp(cls, L"Button") == 0) {
    const LONG type = GetWindowLongW(focus, GWL_STYLE) & BS_TYPEMASK;
    if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) return GetDlgCtrlID(focus);
  }
  return default_button;
}

// Dialog labels clip rather than wrap when a substitute font is wider.
constexpr DWORD kLabel = SS_LEFTNOWORDWRAP;

HWND Win32Ui::MakePopup(HWND owner, const wchar_t* title, DWORD ex_style, int x, int y,
                        int width, int height) {
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  const SIZE outer = OuterSize(style, ex_style, false, Scaled(width), Scaled(height));
  if (x == CW_USEDEFAULT) {
    const POINT at = CentreOn(owner, outer);
    x = at.x;
    y = at.y;
  } else {
    x = Scaled(x);
    y = Scaled(y);
  }
  // A position given for a small screen at 96 DPI may leave a larger window
  // partly off the screen: it is moved inside the work area.
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &monitor)) {
    const RECT& work = monitor.rcWork;
    x = static_cast<int>(std::max(std::min<LONG>(x, work.right - outer.cx), work.left));
    y = static_cast<int>(std::max(std::min<LONG>(y, work.bottom - outer.cy), work.top));
  }
  return CreateWindowExW(ex_style | WS_EX_CONTROLPARENT, kPopupClass, title, style, x, y, outer.cx,
                         outer.cy, owner, nullptr, GetModuleHandleW(nullptr), nullptr);
}

class ProjectWindow : public ModalWindow {
 public:
  enum Id : int {
    kSourcePanel = 30, kSourceLabel = 31, kSourceField = 32, kSourceButton = 33,
    kTargetLabel = 34, kTargetField = 35, kTargetButton = 36, kFtpCheck = 37, kFtpDirField = 38,
    kFtpFrame = 39, kNameFrame = 40, kNameLabel = 41, kNameField = 42, kClientFrame = 43,
    kUrlLabel = 44, kUrlField = 45, kProgramLabel = 46, kProgramField = 47, kProgramButton = 48,
    kRestartCheck = 49, kMutexFrame = 50, kMutexField = 51, kApplyButton = 52,
  };

  ProjectWindow(Win32Ui& ui, ProjectDialog& dialog) : ui_(ui), dialog_(dialog) {}

  bool Create(HWND owner) {
    hwnd = ui_.MakePopup(owner, L"Projekt - Einstellungen", 0, 415, 184, 330, 435);
    if (hwnd == nullptr) return false;
    ui_.RememberWindow(hwnd, kProjectWindow);
    HFONT label = ui_.font(Win32Ui::kArial9Bold);
    HFONT frame = ui_.font(Win32Ui::kArial8Bold);
    HFONT dots = ui_.font(Win32Ui::kArial10Bold);
    HFONT input = ui_.font(Win32Ui::kConsolas10);
    HFONT system = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    const DWORD field = WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP;
    ui_.AddControl(hwnd, L"BUTTON", L"", BS_GROUPBOX, 0, kNameFrame, 5, 5, 320, 40, frame);
    ui_.AddControl(hwnd, L"STATIC", L"Projektname:", kLabel, 0, kNameLabel, 15, 16, 90, 18, dots);
    ui_.AddControl(hwnd, L"EDIT", L"", field, 0, kNameField, 110, 15, 205, 20, system);
    HWND p = ui_.AddControl(hwnd, kPanelClass, L"", 0, WS_EX_CONTROLPARENT, kSourcePanel, 5, 50,
                            320, 160, nullptr);
    ui_.AddControl(p, L"STATIC", L"Quellverzeichnis:", kLabel, 0, kSourceLabel, 10, 5, 105, 15, label);
    ui_.AddControl(p, L"EDIT", L"", field | ES_READONLY, 0, kSourceField, 10, 20, 270, 20, input);
    ui_.AddControl(p, L"BUTTON", L"...", BS_PUSHBUTTON | WS_TABSTOP, 0, kSourceButton, 285, 19, 25,
                   22, dots);
    ui_.AddControl(p, L"STATIC", L"Zielverzeichnis:", kLabel, 0, kTargetLabel, 10, 50, 105, 15, label);
    ui_.AddControl(p, L"EDIT", L"", field | ES_READONLY, 0, kTargetField, 10, 66, 270, 20, input);
    ui_.AddControl(p, L"BUTTON", L"...", BS_PUSHBUTTON | WS_TABSTOP, 0, kTargetButton, 285, 65, 25,
                   22, dots);
    ui_.AddControl(p, L"BUTTON", L" FTP - Verzeichnis:", BS_AUTOCHECKBOX | WS_TABSTOP, 0,
                   kFtpCheck, 20, 122, 125, 16, label);
    ui_.AddControl(p, L"EDIT", L"", field, 0, kFtpDirField, 145, 120, 155, 20, input);
    ui_.AddControl(p, L"BUTTON", L"FTP - Upload", BS_GROUPBOX, 0, kFtpFrame, 10, 100, 300, 50,
                   frame);
    ui_.AddControl(hwnd, L"BUTTON", L"", BS_GROUPBOX, 0, kClientFrame, 5, 215, 320, 180, frame);
    ui_.AddControl(hwnd, L"STATIC", L"URL für Download:", kLabel, 0, kUrlLabel, 15, 225, 110, 15, label);
    ui_.AddControl(hwnd, L"EDIT", L"", field, 0, kUrlField, 15, 240, 300, 20, input);
    ui_.AddControl(hwnd, L"STATIC", L"Programmdatei:", kLabel, 0, kProgramLabel, 15, 270, 100, 15,
                   label);
    ui_.AddControl(hwnd, L"EDIT", L"", field | ES_READONLY, 0, kProgramField, 15, 285, 270, 20,
                   input);
    ui_.AddControl(hwnd, L"BUTTON", L"...", BS_PUSHBUTTON | WS_TABSTOP, 0, kProgramButton, 290,
                   284, 25, 22, dots);
    ui_.AddControl(hwnd, L"BUTTON", L"Neustart des Programmes nach Update",
                   BS_AUTOCHECKBOX | WS_TABSTOP, 0, kRestartCheck, 15, 310, 240, 15, system);
    ui_.AddControl(hwnd, L"BUTTON", L"Mutex (optional)", BS_GROUPBOX, 0, kMutexFrame, 15, 335,
                   300, 50, frame);
    ui_.AddControl(hwnd, L"EDIT", L"", field, 0, kMutexField, 25, 355, 280, 20,
                   ui_.font(Win32Ui::kConsolas10Bold));
    // The default button: Enter presses it.
    ui_.AddControl(hwnd, L"BUTTON", L"Übernehmen", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, kApplyButton,
                   120, 403, 90, 24, system);
    ShowFields();
    return true;
  }

  void OnCommand(int id, int code) override {
    // A picker or message box runs its own loop; commands that reach the
    // dialog meanwhile must not start a second action.
    if (acting_) return;
    acting_ = true;
    Act(id, code);
    acting_ = false;
  }

 private:
  void Act(int id, int code) {
    switch (id) {
      case IDCANCEL:  // Escape: closed without applying, as by the close box
        done = true;
        break;
      case IDOK:  // Enter: what has the focus, else "Übernehmen"
        Act(FocusedButtonOr(hwnd, kApplyButton), BN_CLICKED);
        break;
      case kSourceButton:
      case kTargetButton:
      case kProgramButton:
        if (code != BN_CLICKED) return;
        ReadFields();
        if (id == kSourceButton) dialog_.PickSource();
        if (id == kTargetButton) dialog_.PickTarget();
        if (id == kProgramButton) dialog_.PickProgram();
        ShowFields();
        break;
      case kFtpCheck:
        if (code == BN_CLICKED) EnableWindow(Item(kFtpDirField), Checked(kFtpCheck));
        break;
      case kApplyButton:
        if (code != BN_CLICKED) return;
        ReadFields();
        if (dialog_.Apply()) {
          result = true;
          done = true;
        }
        break;
      default:
        break;
    }
  }

  HWND Item(int id) const { return FindControl(hwnd, id); }
  BOOL Checked(int id) const {
    return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED ? TRUE : FALSE;
  }
  void SetChecked(int id, bool on) {
    SendMessageW(Item(id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  void ShowFields() {
    const ProjectDialogFields& f = dialog_.fields;
    SetText(Item(kNameField), f.name);
    SetText(Item(kSourceField), f.source);
    SetText(Item(kTargetField), f.target);
    SetText(Item(kFtpDirField), f.ftp_dir);
    SetChecked(kFtpCheck, f.ftp);
    EnableWindow(Item(kFtpDirField), f.ftp ? TRUE : FALSE);
    SetText(Item(kUrlField), f.url);
    SetText(Item(kProgramField), f.prog_exe);
    SetChecked(kRestartCheck, f.restart);
    SetText(Item(kMutexField), f.mutex);
  }
  void ReadFields() {
    ProjectDialogFields& f = dialog_.fields;
    f.name = TextOf(Item(kNameField));
    f.source = TextOf(Item(kSourceField));
    f.target = TextOf(Item(kTargetField));
    f.ftp_dir = TextOf(Item(kFtpDirField));
    f.ftp = Checked(kFtpCheck) != FALSE;
    f.url = TextOf(Item(kUrlField));
    f.prog_exe = TextOf(Item(kProgramField));
    f.restart = Checked(kRestartCheck) != FALSE;
    f.mutex = TextOf(Item(kMutexField));
  }

  Win32Ui& ui_;
  ProjectDialog& dialog_;
  bool acting_ = false;
};

class FtpWindow : public ModalWindow {
 public:
  enum Id : int {
    kPanel = 16, kApply = 17, kClientFrame = 18, kServerLabel = 19, kServer = 20, kDirLabel = 21,
    kDir = 22, kPortLabel = 23, kPort = 24, kLoginFrame = 25, kLoginLabel = 26, kLogin = 27,
    kPasswordLabel = 28, kPassword = 29,
  };

  FtpWindow(Win32Ui& ui, FtpDialog& dialog) : ui_(ui), dialog_(dialog) {}

  bool Create(HWND owner) {
    hwnd = ui_.MakePopup(owner, L"Konfiguration", WS_EX_TOOLWINDOW, CW_USEDEFAULT, 0, 180, 280);
    if (hwnd == nullptr) return false;
    ui_.RememberWindow(hwnd, kFtpWindow);
    HFONT frame = ui_.font(Win32Ui::kArial8Bold);
    HFONT system = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    const DWORD field = WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP;
    HWND p = ui_.AddControl(hwnd, kPanelClass, L"", 0, WS_EX_STATICEDGE | WS_EX_CONTROLPARENT,
                            kPanel, 5, 5, 170, 235, nullptr);
    // Labels as wide as the fields below them: the dialog font differs from
    // system to system.
    ui_.AddControl(p, L"STATIC", L"FTP-Server:", kLabel, 0, kServerLabel, 20, 25, 130, 15, system);
    ui_.AddControl(p, L"EDIT", L"", field, 0, kServer, 20, 40, 130, 20, system);
    ui_.AddControl(p, L"STATIC", L"Start-Verzeichnis:", kLabel, 0, kDirLabel, 20, 70, 90, 15,
                   system);
    ui_.AddControl(p, L"EDIT", L"", field, 0, kDir, 20, 85, 86, 20, system);
    // Five digits and the field's margins.
    ui_.AddControl(p, L"STATIC", L"Port:", kLabel, 0, kPortLabel, 112, 70, 38, 15, system);
    ui_.AddControl(p, L"EDIT", L"21", field | ES_NUMBER, 0, kPort, 112, 85, 38, 20, system);
    ui_.AddControl(p, L"BUTTON", L"FTP - Client", BS_GROUPBOX, 0, kClientFrame, 10, 5, 150, 110,
                   frame);
    ui_.AddControl(p, L"STATIC", L"Benutzername:", kLabel, 0, kLoginLabel, 20, 140, 130, 15,
                   system);
    ui_.AddControl(p, L"EDIT", L"", field, 0, kLogin, 20, 155, 130, 20, system);
    ui_.AddControl(p, L"STATIC", L"Passwort:", kLabel, 0, kPasswordLabel, 20, 180, 130, 15,
                   system);
    ui_.AddControl(p, L"EDIT", L"", field | ES_PASSWORD, 0, kPassword, 20, 195, 130, 20, system);
    ui_.AddControl(p, L"BUTTON", L"Login", BS_GROUPBOX, 0, kLoginFrame, 10, 120, 150, 105, frame);
    ui_.AddControl(hwnd, L"BUTTON", L"Übernehmen", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, kApply, 45,
                   248, 90, 24, system);
    SetText(Item(kServer), dialog_.server);
    SetText(Item(kPort), dialog_.port);
    SetText(Item(kDir), dialog_.start_dir);
    SetText(Item(kLogin), dialog_.login);
    SetText(Item(kPassword), dialog_.password);
    return true;
  }

  void OnCommand(int id, int code) override {
    if (acting_) return;
    if (id == IDCANCEL) {  // Escape: closed without applying
      done = true;
      return;
    }
    // Enter: "Übernehmen", the dialog's only button.
    if (id != IDOK && (id != kApply || code != BN_CLICKED)) return;
    acting_ = true;
    Apply();
    acting_ = false;
  }

 private:
  void Apply() {
    dialog_.server = TextOf(Item(kServer));
    dialog_.port = TextOf(Item(kPort));
    dialog_.start_dir = TextOf(Item(kDir));
    dialog_.login = TextOf(Item(kLogin));
    dialog_.password = TextOf(Item(kPassword));
    if (dialog_.Apply()) {
      result = true;
      done = true;
    }
  }

  HWND Item(int id) const { return FindControl(hwnd, id); }

  Win32Ui& ui_;
  FtpDialog& dialog_;
  bool acting_ = false;
};

// Asks for the password of the signing key before anything is signed.
class PasswordWindow : public ModalWindow {
 public:
  enum Id : int { kPanel = 80, kFrame = 81, kLabelId = 82, kPassword = 83 };

  explicit PasswordWindow(Win32Ui& ui) : ui_(ui) {}

  bool Create(HWND owner) {
    hwnd = ui_.MakePopup(owner, L"Signatur", WS_EX_TOOLWINDOW, CW_USEDEFAULT, 0, 220, 130);
    if (hwnd == nullptr) return false;
    ui_.RememberWindow(hwnd, kPasswordWindow);
    HFONT frame = ui_.font(Win32Ui::kArial8Bold);
    HFONT system = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    HWND p = ui_.AddControl(hwnd, kPanelClass, L"", 0, WS_EX_STATICEDGE | WS_EX_CONTROLPARENT,
                            kPanel, 5, 5, 210, 85, nullptr);
    ui_.AddControl(p, L"STATIC", L"Passwort des Schlüssels:", kLabel, 0, kLabelId, 20, 25, 170, 15,
                   system);
    ui_.AddControl(p, L"EDIT", L"", WS_BORDER | ES_AUTOHSCROLL | ES_PASSWORD | WS_TABSTOP, 0,
                   kPassword, 20, 42, 170, 20, system);
    ui_.AddControl(p, L"BUTTON", L"Update-Info signieren", BS_GROUPBOX, 0, kFrame, 10, 5, 190, 70,
                   frame);
    // IDOK: Enter in the field presses it.
    ui_.AddControl(hwnd, L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, IDOK, 65, 98, 90, 24,
                   system);
    SetFocus(FindControl(hwnd, kPassword));
    return true;
  }

  void OnCommand(int id, int code) override {
    if (id == IDCANCEL) {
      done = true;
    } else if (id == IDOK && code == BN_CLICKED) {
      password = TextOf(FindControl(hwnd, kPassword));
      result = true;
      done = true;
    }
  }

  std::string password;

 private:
  Win32Ui& ui_;
};

bool Win32Ui::ConfirmHostKey(const std::string& text, const std::string&) {
  return MessageBoxW(main_, Wide(text).c_str(), L"Projekt upload",
                     MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

std::optional<std::string> Win32Ui::AskKeyPassword() {
  PasswordWindow window(*this);
  if (!window.Create(main_) || !RunModal(window)) return std::nullopt;
  return window.password;
}

bool Win32Ui::RunProjectDialog(ProjectDialog& dialog) {
  ProjectWindow window(*this, dialog);
  if (!window.Create(main_)) return false;
  return RunModal(window);
}

bool Win32Ui::RunFtpDialog(FtpDialog& dialog) {
  FtpWindow window(*this, dialog);
  if (!window.Create(main_)) return false;
  return RunModal(window);
}

void Win32Ui::ReleaseResources() {
  EndProgress();
  CloseMainWindow();
  if (row_menu_ != nullptr) DestroyMenu(row_menu_);
  row_menu_ = nullptr;
  for (HFONT& f : fonts_) {
    if (f != nullptr) DeleteObject(f);
    f = nullptr;
  }
  if (white_ != nullptr) DeleteObject(white_);
  white_ = nullptr;
}

int RunBuilder() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  static BuilderState st;
  st.program = "QuastorellBuilder.exe";
  Win32Ui ui(st);
  g_ui = &ui;
  StartBuilderFiles(st, "");
  ui.layout().OpenLayoutFile("Quastorell", st.base_folder + "Quastorell.win", "");
  if (!ui.layout().damaged_text().empty()) st.notices.push_back(ui.layout().damaged_text());
  if (ui.OpenMainWindow()) {
    StartBuilderLists(st, ui);
    ui.RunEventLoop();
    ui.layout().SaveWindowLayout(kMainWindow);
    ui.layout().ForgetWindowLayout(kMainWindow);
    ShutdownBuilder(st, ui, ShutdownOptions{});
    ui.CloseMainWindow();
  } else {
    st.settings.Save();
  }
  g_ui = nullptr;
  CoUninitialize();
  return 0;
}

}  // namespace
}  // namespace quasto

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  try {
    return quasto::RunBuilder();
  } catch (...) {
    return 0;
  }
}
