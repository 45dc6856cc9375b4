// ui_driver: drives the programs' windows for the GUI tests under Wine.
//
//   ui_driver find CAPTION [TIMEOUT_MS]     wait until the window exists
//   ui_driver gone CAPTION [TIMEOUT_MS]     wait until it no longer exists
//   ui_driver text CAPTION ID               print a control's text
//   ui_driver wait-text CAPTION ID TEXT [TIMEOUT_MS]
//   ui_driver enabled CAPTION ID            print 1 or 0
//   ui_driver progress CAPTION ID           print "position maximum"
//   ui_driver click CAPTION ID              press a button
//   ui_driver close CAPTION                 ask the window to close
//   ui_driver msgbox [TIMEOUT_MS]           print "title|text|icon" of the next
//                                           message box and confirm it
//   ui_driver hold-mutex NAME MS            hold a named mutex for a while
//   ui_driver sleep MS                      just run for a while
//
// Texts are printed as UTF-8; a line feed inside a text is printed as "\n".
// Exit status 0 on success, 1 when the window or control is not there.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string ToUtf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

std::wstring FromUtf8(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string TextOf(HWND h) {
  LRESULT len = SendMessageW(h, WM_GETTEXTLENGTH, 0, 0);
  std::wstring w(static_cast<size_t>(len) + 1, L'\0');
  SendMessageW(h, WM_GETTEXT, w.size(), reinterpret_cast<LPARAM>(w.data()));
  w.resize(wcslen(w.c_str()));
  return ToUtf8(w);
}

std::string Escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') {
      out += "\\n";
    } else if (c != '\r') {
      out.push_back(c);
    }
  }
  return out;
}

struct WindowSearch {
  std::wstring caption;
  HWND found = nullptr;
};

// A message box may carry the same caption as the program's window; the
// window wanted here is never a dialog box.
BOOL CALLBACK FindByCaption(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<WindowSearch*>(lp);
  wchar_t cls[64];
  GetClassNameW(h, cls, 64);
  if (wcscmp(cls, L"#32770") == 0) return TRUE;
  int len = GetWindowTextLengthW(h);
  std::wstring text(static_cast<size_t>(len) + 1, L'\0');
  GetWindowTextW(h, text.data(), len + 1);
  text.resize(static_cast<size_t>(len));
  if (text == s->caption) {
    s->found = h;
    return FALSE;
  }
  return TRUE;
}

HWND WaitWindow(const std::string& caption, int timeout_ms) {
  WindowSearch search{FromUtf8(caption)};
  for (int waited = 0;; waited += 50) {
    EnumWindows(FindByCaption, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr || waited >= timeout_ms) return search.found;
    Sleep(50);
  }
}

HWND Child(HWND parent, int id) { return parent ? GetDlgItem(parent, id) : nullptr; }

struct BoxSearch {
  HWND found = nullptr;
};

BOOL CALLBACK FindBox(HWND h, LPARAM lp) {
  wchar_t cls[64];
  GetClassNameW(h, cls, 64);
  if (wcscmp(cls, L"#32770") == 0 && IsWindowVisible(h)) {
    reinterpret_cast<BoxSearch*>(lp)->found = h;
    return FALSE;
  }
  return TRUE;
}

struct BoxParts {
  std::string text;
  HWND icon = nullptr;
};

BOOL CALLBACK ReadBoxPart(HWND h, LPARAM lp) {
  auto* parts = reinterpret_cast<BoxParts*>(lp);
  wchar_t cls[64];
  GetClassNameW(h, cls, 64);
  if (_wcsicmp(cls, L"Static") != 0) return TRUE;
  const LONG style = GetWindowLongW(h, GWL_STYLE);
  if ((style & SS_TYPEMASK) == SS_ICON) {
    parts->icon = h;
  } else {
    std::string t = TextOf(h);
    if (t.size() > parts->text.size()) parts->text = t;
  }
  return TRUE;
}

// The icon's kind, read off the screen by its colours: the icon handle
// belongs to the other process and cannot be inspected from here. Error
// icons are red, warnings yellow, information blue.
std::string IconKind(HWND icon_control) {
  if (icon_control == nullptr) return "none";
  RECT r;
  GetWindowRect(icon_control, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return "none";
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(mem, old);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  std::vector<unsigned char> px(static_cast<size_t>(w) * h * 4);
  GetDIBits(mem, bmp, 0, static_cast<UINT>(h), px.data(), &bi, DIB_RGB_COLORS);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  int red = 0, yellow = 0, blue = 0;
  for (size_t i = 0; i + 3 < px.size(); i += 4) {
    const int b = px[i], g = px[i + 1], rr = px[i + 2];
    if (rr > 170 && g > 140 && b < 110) {
      ++yellow;
    } else if (rr > 150 && g < 100 && b < 100) {
      ++red;
    } else if (b > 140 && rr < 120 && b > g) {
      ++blue;
    }
  }
  if (yellow > 20 && yellow >= red) return "warning";
  if (red > 20) return "error";
  if (blue > 20) return "information";
  return "other";
}

int Fail(const char* what) {
  std::fprintf(stderr, "ui_driver: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Fail("no command");
  const std::string cmd = argv[1];
  auto arg = [&](int i) { return i < argc ? std::string(argv[i]) : std::string(); };
  auto timeout = [&](int i, int def) { return i < argc ? std::atoi(argv[i]) : def; };

  if (cmd == "msgbox") {
    const int limit = timeout(2, 10000);
    BoxSearch search;
    for (int waited = 0; search.found == nullptr; waited += 50) {
      EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
      if (search.found != nullptr) break;
      if (waited >= limit) return Fail("no message box");
      Sleep(50);
    }
    Sleep(100);  // let it finish building
    BoxParts parts;
    EnumChildWindows(search.found, ReadBoxPart, reinterpret_cast<LPARAM>(&parts));
    std::printf("%s|%s|%s\n", Escaped(TextOf(search.found)).c_str(),
                Escaped(parts.text).c_str(), IconKind(parts.icon).c_str());
    PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
  }

  if (cmd == "hold-mutex") {
    HANDLE m = CreateMutexW(nullptr, FALSE, FromUtf8(arg(2)).c_str());
    if (m == nullptr) return Fail("no mutex");
    Sleep(static_cast<DWORD>(timeout(3, 5000)));
    CloseHandle(m);
    return 0;
  }
  if (cmd == "sleep") {
    Sleep(static_cast<DWORD>(timeout(2, 5000)));
    return 0;
  }

  const std::string caption = arg(2);
  if (cmd == "find") return WaitWindow(caption, timeout(3, 10000)) ? 0 : Fail("no window");
  if (cmd == "gone") {
    const int limit = timeout(3, 10000);
    for (int waited = 0; WaitWindow(caption, 0) != nullptr; waited += 50) {
      if (waited >= limit) return Fail("window still there");
      Sleep(50);
    }
    return 0;
  }
  HWND window = WaitWindow(caption, 20000);
  if (window == nullptr) return Fail("no window");
  if (cmd == "close") {
    PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
  }
  const int id = std::atoi(arg(3).c_str());
  // The window may be found while it is still receiving its controls.
  HWND control = Child(window, id);
  for (int waited = 0; control == nullptr && waited < 5000; waited += 50) {
    Sleep(50);
    window = WaitWindow(caption, 0);
    control = Child(window, id);
  }
  if (control == nullptr) return Fail("no control");
  if (cmd == "text") {
    std::printf("%s\n", Escaped(TextOf(control)).c_str());
  } else if (cmd == "wait-text") {
    const std::string want = arg(4);
    const int limit = timeout(5, 20000);
    for (int waited = 0; Escaped(TextOf(control)) != want; waited += 50) {
      if (waited >= limit) {
        std::fprintf(stderr, "text is \"%s\"\n", Escaped(TextOf(control)).c_str());
        return Fail("text not reached");
      }
      Sleep(50);
    }
  } else if (cmd == "enabled") {
    std::printf("%d\n", IsWindowEnabled(control) ? 1 : 0);
  } else if (cmd == "progress") {
    LRESULT pos = SendMessageW(control, PBM_GETPOS, 0, 0);
    LRESULT max = SendMessageW(control, PBM_GETRANGE, FALSE, 0);
    std::printf("%ld %ld\n", static_cast<long>(pos), static_cast<long>(max));
  } else if (cmd == "click") {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(control));
  } else {
    return Fail("unknown command");
  }
  return 0;
}
