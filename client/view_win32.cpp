#include <windows.h>
#include <commctrl.h>

#include "client/ansi_win32.h"
#include "client/view_win32.h"

namespace quasto::client {
namespace {

constexpr char kWindowClass[] = "QuastorellProgress";
constexpr int kWindowId = 1;
constexpr UINT kNotifyMessage = WM_APP + 0x100;

HWND Item(void* window, int id) { return GetDlgItem(static_cast<HWND>(window), id); }

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* view = reinterpret_cast<Win32ClientView*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
      break;
    }
    case WM_COMMAND:
      if (view && LOWORD(wp) == kUpdateButton && HIWORD(wp) == BN_CLICKED) view->OnButton();
      return 0;
    case WM_CLOSE:
      // Closing is the event loop's decision, not the window's.
      if (view) view->OnClose();
      return 0;
    case WM_CTLCOLORSTATIC:
      if (view && GetDlgCtrlID(reinterpret_cast<HWND>(lp)) == kCountText) {
        HDC dc = reinterpret_cast<HDC>(wp);
        SetTextColor(dc, RGB(0, 0, 128));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(view->text_brush());
      }
      break;
    default:
      break;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

void RegisterWindowClass() {
  static bool done = false;
  if (done) return;
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hIcon = LoadIconA(wc.hInstance, MAKEINTRESOURCEA(1));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kWindowClass;
  RegisterClassExA(&wc);
  done = true;
}

}  // namespace

ClientFonts CreateClientFonts() {
  HDC dc = GetDC(nullptr);
  const int height = -MulDiv(9, GetDeviceCaps(dc, LOGPIXELSY), 72);
  ReleaseDC(nullptr, dc);
  ClientFonts f;
  f.regular = CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_SWISS, "Arial");
  f.bold = CreateFontA(height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, "Arial");
  return f;
}

Win32ClientView::Win32ClientView(ClientFonts fonts) : fonts_(fonts) {
  brush_ = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
}

Win32ClientView::~Win32ClientView() {
  CloseProgressWindow();
  DeleteObject(static_cast<HBRUSH>(brush_));
}

bool Win32ClientView::OpenProgressWindow(const std::string& title, const std::string& summary,
                                         const std::string& button) {
  RegisterWindowClass();
  const DWORD style = WS_CAPTION | WS_SYSMENU;
  const DWORD ex_style = WS_EX_TOOLWINDOW;
  // The program declares itself DPI-aware, so its fonts grow with the
  // screen's DPI; the geometry, given for 96 DPI, must grow with them.
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  auto scaled = [dpi](int v) { return MulDiv(v, dpi, 96); };
  RECT r{0, 0, scaled(330), scaled(150)};
  AdjustWindowRectEx(&r, style, FALSE, ex_style);
  const int w = r.right - r.left, h = r.bottom - r.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  std::string caption(1, ' ');
  caption += Utf8ToAnsi(title.empty() ? "Quastorell" : title);
  HWND hwnd = CreateWindowExA(ex_style, kWindowClass, caption.c_str(), style, x, y, w, h, nullptr,
                              nullptr, GetModuleHandleA(nullptr), this);
  if (hwnd == nullptr) return false;
  window_ = hwnd;
  SetWindowLongPtrA(hwnd, GWLP_ID, kWindowId);

  struct Spec {
    int id;
    const char* cls;
    DWORD style;
    int x, y, w, h;
    std::string text;
    void* font;
  };
  const DWORD text_style = WS_CHILD | WS_VISIBLE | SS_NOPREFIX;
  const Spec specs[] = {
      {kCountText, "STATIC", text_style | SS_CENTER | SS_SUNKEN | SS_CENTERIMAGE, 15, 15, 40, 20,
       "", fonts_.bold},
      {kSummaryText, "STATIC", text_style, 60, 16, 255, 18, Utf8ToAnsi(summary), fonts_.bold},
      {kTopFrame, "BUTTON", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 5, 0, 320, 45, "", nullptr},
      {kStatusText, "STATIC", text_style | SS_CENTER, 15, 67, 300, 16, "", fonts_.regular},
      {kProgressBar, PROGRESS_CLASSA, WS_CHILD | WS_VISIBLE, 15, 85, 300, 20, "", nullptr},
      {kStatusFrame, "BUTTON", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 5, 50, 320, 65, "", nullptr},
      {kUpdateButton, "BUTTON", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_PUSHBUTTON, 115, 121, 100,
       22, Utf8ToAnsi(button), fonts_.bold},
  };
  HFONT gui_font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  for (const Spec& s : specs) {
    HWND c = CreateWindowExA(0, s.cls, s.text.c_str(), s.style, scaled(s.x), scaled(s.y),
                             scaled(s.w), scaled(s.h), hwnd,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(s.id)),
                             GetModuleHandleA(nullptr), nullptr);
    if (c == nullptr) continue;
    HFONT font = s.font ? static_cast<HFONT>(s.font) : gui_font;
    SendMessageA(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
  SendMessageA(Item(window_, kProgressBar), PBM_SETRANGE32, 0, 100);

  DrainEvents();
  ShowWindow(hwnd, SW_SHOWNORMAL);
  UpdateWindow(hwnd);
  button_pressed_ = close_requested_ = false;
  return true;
}

void Win32ClientView::CloseProgressWindow() {
  if (window_ != nullptr) {
    DestroyWindow(static_cast<HWND>(window_));
    window_ = nullptr;
  }
}

void Win32ClientView::SetText(int control, const std::string& text) {
  SetWindowTextA(Item(window_, control), Utf8ToAnsi(text).c_str());
}

void Win32ClientView::SetFrameCaption(int control, const std::string& text) {
  SetText(control, text);
}

void Win32ClientView::SetProgressMaximum(int maximum) {
  SendMessageA(Item(window_, kProgressBar), PBM_SETRANGE32, 0, maximum);
}

void Win32ClientView::SetProgressValue(int value) {
  SendMessageA(Item(window_, kProgressBar), PBM_SETPOS, static_cast<WPARAM>(value), 0);
}

void Win32ClientView::EnableButton(bool enabled) {
  EnableWindow(Item(window_, kUpdateButton), enabled ? TRUE : FALSE);
}

bool Win32ClientView::ButtonEnabled() const {
  return window_ != nullptr && IsWindowEnabled(Item(window_, kUpdateButton)) != FALSE;
}

void Win32ClientView::ShowMessage(const std::string& title, const std::string& text, int icon) {
  // Task-modal: every window of the program is disabled while it shows.
  MessageBoxA(nullptr, Utf8ToAnsi(text).c_str(), Utf8ToAnsi(title).c_str(),
              MB_OK | MB_TASKMODAL | static_cast<UINT>(icon));
}

void Win32ClientView::DrainEvents() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == kNotifyMessage) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  // Clicks and close requests made meanwhile are lost.
  button_pressed_ = close_requested_ = false;
}

ViewEvent Win32ClientView::WaitEvent(int timeout_ms) {
  MSG msg;
  if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(timeout_ms), QS_ALLINPUT);
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return ViewEvent::kNone;
  }
  if (msg.message != kNotifyMessage) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  if (close_requested_) {
    close_requested_ = false;
    return ViewEvent::kCloseWindow;
  }
  if (button_pressed_) {
    button_pressed_ = false;
    return ViewEvent::kButton;
  }
  return ViewEvent::kNone;
}

void Win32ClientView::PostNotification(int type) {
  PostThreadMessageA(GetCurrentThreadId(), kNotifyMessage, static_cast<WPARAM>(type), 0);
}

}  // namespace quasto::client
