#include "builder/gui_controls_win32.h"

namespace quasto::gui {
namespace {

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

}  // namespace

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

SIZE OuterSize(DWORD style, DWORD ex_style, bool menu, int width, int height) {
  RECT r{0, 0, width, height};
  AdjustWindowRectEx(&r, style, menu ? TRUE : FALSE, ex_style);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

POINT CentreOn(HWND owner, SIZE outer) {
  RECT r{};
  GetWindowRect(owner, &r);
  return POINT{r.left + (r.right - r.left - outer.cx) / 2, r.top + (r.bottom - r.top - outer.cy) / 2};
}

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

}  // namespace quasto::gui
