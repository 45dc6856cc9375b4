// The update builder's Windows GUI: the host of its windows. It owns their
// fonts, numbers and event loops, serves the window layout, and runs the
// program from start to exit. The windows themselves live in files of their
// own; the actions are the portable logic's.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <algorithm>

#include "builder/builder_app.h"
#include "builder/gui_win32.h"

namespace quasto::gui {
namespace {

Win32Ui* g_ui = nullptr;

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

}  // namespace

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

void Win32Ui::PrepareWindows() {
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

void Win32Ui::ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) {
  MessageBoxW(Owner(), Wide(text).c_str(), Wide(caption).c_str(), MB_OK | static_cast<UINT>(icon));
}

bool Win32Ui::AskYesNo(const std::string& caption, const std::string& text,
                       const std::string& question) {
  return MessageBoxW(Owner(), Wide(text + "\n\n" + question).c_str(), Wide(caption).c_str(),
                     MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

bool Win32Ui::ConfirmHostKey(const std::string& text, const std::string&) {
  return MessageBoxW(main_, Wide(text).c_str(), L"Projekt upload",
                     MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
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

// ---- LayoutHost

bool Win32Ui::WindowExists(int window) const { return WindowOf(window) != nullptr; }

void Win32Ui::OuterPosition(int window, int* x, int* y) const {
  RECT r{};
  GetWindowRect(WindowOf(window), &r);
  *x = r.left;
  *y = r.top;
}

WindowState Win32Ui::State(int window) const {
  HWND h = WindowOf(window);
  if (IsIconic(h)) return WindowState::kMinimized;
  if (IsZoomed(h)) return WindowState::kMaximized;
  return WindowState::kNormal;
}

bool Win32Ui::ControlExists(int control) const { return Control(control) != nullptr; }

void Win32Ui::SetControlGeometry(int control, const ControlRect& rect) {
  MoveWindow(Control(control), rect.x, rect.y, rect.width, rect.height, TRUE);
}

bool Win32Ui::IsColumnList(int control) const {
  wchar_t cls[64] = {};
  GetClassNameW(Control(control), cls, 64);
  return _wcsicmp(cls, WC_LISTVIEWW) == 0;
}

int Win32Ui::ColumnWidth(int control, int column) const {
  return static_cast<int>(
      SendMessageW(Control(control), LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
}

void Win32Ui::SetColumnWidth(int control, int column, int width) {
  SendMessageW(Control(control), LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
               MAKELPARAM(width, 0));
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

namespace {

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
}  // namespace quasto::gui

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  try {
    return quasto::gui::RunBuilder();
  } catch (...) {
    return 0;
  }
}
