// ui_driver: drives the programs' windows for the GUI tests under Wine.
//
//   ui_driver find CAPTION [TIMEOUT_MS]     wait until the window exists
//   ui_driver gone CAPTION [TIMEOUT_MS]     wait until it no longer exists
//   ui_driver text CAPTION ID               print a control's text
//   ui_driver wait-text CAPTION ID TEXT [TIMEOUT_MS]
//   ui_driver enabled CAPTION ID            print 1 or 0
//   ui_driver progress CAPTION ID           print "position maximum"
//   ui_driver click CAPTION ID              press a button
//   ui_driver close CAPTION                 ask the window to close; print
//                                           when (Unix time in ms)
//   ui_driver msgbox [TIMEOUT_MS [BUTTON]]  print "title|text|icon" of the next
//                                           message box and confirm it (or press
//                                           the button of that number: 6 Yes, 7 No)
//   ui_driver hold-mutex NAME MS            hold a named mutex for a while
//   ui_driver sleep MS                      just run for a while (and keep its
//                                           own executable in use)
//   ui_driver spawn COMMAND_LINE [FOLDER]   start a program with exactly this
//                                           command line; do not wait for it
//   ui_driver run-watch COMMAND_LINE FOLDER [TIMEOUT_MS]
//                                           start a program, watch its top-level
//                                           windows until it ends; print "EXIT
//                                           WINDOWS": its exit code and how many
//                                           visible ones it ever showed, then
//                                           their captions, one a line
//   ui_driver menu CAPTION ID               choose a menu command
//   ui_driver set-text CAPTION ID TEXT      type a text into a field
//   ui_driver toggle CAPTION ID             click a check box
//   ui_driver checked CAPTION ID            print 1 or 0 for a check box
//   ui_driver rows CAPTION ID               print a list view's rows, one a line:
//                                           "checked|col0|col1|col2"
//   ui_driver select CAPTION ID ROW         select a list view row
//   ui_driver choose CAPTION ID INDEX       choose a drop-down list's item
//   ui_driver rclick CAPTION ID X Y         right-click a control at X, Y
//   ui_driver popup [TIMEOUT_MS]            print 1 when a popup menu shows (and
//                                           dismiss it), else 0
//   ui_driver rect CAPTION [ID]             print "x y width height": the outer
//                                           frame, or the control within its parent
//   ui_driver client CAPTION                print the client area "width height"
//   ui_driver place CAPTION X Y W H         move and size the outer frame
//   ui_driver ping CAPTION COUNT PAUSE_MS   send WM_NULL COUNT times, PAUSE_MS
//                                           apart, and print the longest answer
//                                           time in milliseconds (5000 when one
//                                           did not come within 5 s)
//   ui_driver dpi                           print the screen's DPI
//   ui_driver fit CAPTION ID FACE POINTS (bold|normal) [TEXT...]
//                                           print "text_width text_height
//                                           client_width client_height": the
//                                           control's text (or each TEXT, a line each) in that
//                                           font ("system": the GUI font), and
//                                           the control's client area
//   ui_driver metric INDEX                  print a GetSystemMetrics value
//   ui_driver columns CAPTION ID            print a list view's column widths,
//                                           its client width and 1 when it shows
//                                           a vertical scroll bar, else 0
//   ui_driver key CAPTION ID KEY            post a key press (ESCAPE, RETURN,
//                                           or a virtual-key number) to a control
//   ui_driver pick CAPTION [PATH]           answer a file or folder picker
//                                           (found by caption): type PATH into
//                                           a file picker; a folder picker is
//                                           confirmed once its selection rests
//
// Texts are printed as UTF-8; a line feed inside a text is printed as "\n".
// Exit status 0 on success, 1 when the window or control is not there.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

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

struct ControlSearch {
  int id;
  HWND found = nullptr;
};

BOOL CALLBACK FindControl(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<ControlSearch*>(lp);
  if (GetDlgCtrlID(h) == s->id) {
    s->found = h;
    return FALSE;
  }
  return TRUE;
}

// Controls may sit inside containers: every descendant counts.
HWND Child(HWND parent, int id) {
  if (parent == nullptr) return nullptr;
  ControlSearch s{id};
  EnumChildWindows(parent, FindControl, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

// A picker is a dialog box, found by its caption among the visible ones.
struct PickerSearch {
  std::wstring caption;
  HWND found = nullptr;
};

BOOL CALLBACK FindPicker(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<PickerSearch*>(lp);
  wchar_t cls[64];
  GetClassNameW(h, cls, 64);
  if (wcscmp(cls, L"#32770") != 0 || !IsWindowVisible(h)) return TRUE;
  wchar_t text[512] = {};
  GetWindowTextW(h, text, 512);
  if (s->caption == text) {
    s->found = h;
    return FALSE;
  }
  return TRUE;
}

// Reads a list view item's text through a buffer in the list's process.
std::string ListText(HWND list, int row, int col) {
  DWORD pid = 0;
  GetWindowThreadProcessId(list, &pid);
  HANDLE proc = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (proc == nullptr) return {};
  const size_t chars = 1024;
  void* remote = VirtualAllocEx(proc, nullptr, sizeof(LVITEMW) + chars * sizeof(wchar_t),
                                MEM_COMMIT, PAGE_READWRITE);
  std::string out;
  if (remote != nullptr) {
    LVITEMW item{};
    item.iSubItem = col;
    item.cchTextMax = static_cast<int>(chars);
    item.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(remote) + sizeof(LVITEMW));
    WriteProcessMemory(proc, remote, &item, sizeof(item), nullptr);
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(remote));
    std::wstring w(chars, L'\0');
    ReadProcessMemory(proc, item.pszText, w.data(), chars * sizeof(wchar_t), nullptr);
    w.resize(wcslen(w.c_str()));
    out = ToUtf8(w);
    VirtualFreeEx(proc, remote, 0, MEM_RELEASE);
  }
  CloseHandle(proc);
  return out;
}

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

// The size of a text in a font given by face, points and weight, made at
// the screen's DPI as the programs make theirs ("system": the stock GUI
// font). A font handle of the other process cannot be used here.
SIZE MeasureText(const std::wstring& face, int points, bool bold, const std::wstring& text) {
  HDC dc = GetDC(nullptr);
  HFONT font = nullptr;
  if (face == L"system") {
    font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  } else {
    font = CreateFontW(-MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0,
                       bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, face.c_str());
  }
  HGDIOBJ old = SelectObject(dc, font);
  std::wstring shown;
  for (size_t i = 0; i < text.size(); ++i) {  // "&&" shows "&", "&x" underlines x
    if (text[i] == L'&' && i + 1 < text.size()) ++i;
    shown.push_back(text[i]);
  }
  SIZE size{};
  GetTextExtentPoint32W(dc, shown.c_str(), static_cast<int>(shown.size()), &size);
  SelectObject(dc, old);
  if (face != L"system") DeleteObject(font);
  ReleaseDC(nullptr, dc);
  return size;
}

int Fail(const char* what) {
  std::fprintf(stderr, "ui_driver: %s\n", what);
  return 1;
}

// The visible top-level windows of one process, each once.
struct WindowWatch {
  DWORD pid;
  std::vector<HWND> seen;
};

BOOL CALLBACK SeeWindow(HWND h, LPARAM param) {
  auto* watch = reinterpret_cast<WindowWatch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == watch->pid && IsWindowVisible(h)) {
    bool known = false;
    for (HWND s : watch->seen) known = known || s == h;
    if (!known) watch->seen.push_back(h);
  }
  return TRUE;
}

}  // namespace

int main(int, char**) {
  // The arguments as UTF-16: the narrow ones pass through the ANSI code page,
  // which loses the umlauts of captions and texts.
  // Coordinates and fonts as the programs, which are DPI-aware, see them;
  // otherwise they would be scaled back to 96 DPI for this process.
  SetProcessDPIAware();
  int argc = 0;
  LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(ToUtf8(wargv[i]));
  LocalFree(wargv);
  if (argc < 2) return Fail("no command");
  const std::string cmd = args[1];
  auto arg = [&](int i) { return i < argc ? args[static_cast<size_t>(i)] : std::string(); };
  auto timeout = [&](int i, int def) { return i < argc ? std::atoi(arg(i).c_str()) : def; };

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
    // The icon is read from the screen: a box of a busy program may not be
    // painted yet, and the screen there may still show what lies beneath
    // (another window's colours). So the box is asked to paint, again at
    // each look, and the icon counts once two looks a little apart agree on
    // a known kind. A machine running the test suites side by side has been
    // seen to take more than 3 s to paint it.
    const auto paint = [&] {
      RedrawWindow(search.found, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    };
    paint();
    std::string icon = IconKind(parts.icon);
    for (int waited = 0; waited < 15000; waited += 100) {
      Sleep(100);
      const std::string again = IconKind(parts.icon);
      if (again == icon && icon != "other") break;
      icon = again;
      paint();
    }
    std::printf("%s|%s|%s\n", Escaped(TextOf(search.found)).c_str(),
                Escaped(parts.text).c_str(), icon.c_str());
    // The button given (IDYES 6, IDNO 7, ...), else OK.
    const int button = argc > 3 ? std::atoi(arg(3).c_str()) : IDOK;
    PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    return 0;
  }

  if (cmd == "hold-mutex") {
    HANDLE m = CreateMutexW(nullptr, FALSE, FromUtf8(arg(2)).c_str());
    if (m == nullptr) return Fail("no mutex");
    Sleep(static_cast<DWORD>(timeout(3, 5000)));
    CloseHandle(m);
    return 0;
  }
  if (cmd == "metric") {
    std::printf("%d\n", GetSystemMetrics(std::atoi(arg(2).c_str())));
    return 0;
  }
  if (cmd == "dpi") {
    HDC screen = GetDC(nullptr);
    std::printf("%d\n", GetDeviceCaps(screen, LOGPIXELSY));
    ReleaseDC(nullptr, screen);
    return 0;
  }
  if (cmd == "sleep") {
    Sleep(static_cast<DWORD>(timeout(2, 5000)));
    return 0;
  }
  if (cmd == "spawn") {
    // A command line as a shortcut or another program writes it, which no
    // argv from Wine's command line could give.
    std::wstring line = FromUtf8(arg(2));
    const std::wstring folder = FromUtf8(arg(3));
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &si, &pi)) {
      return Fail("cannot start");
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
  }

  if (cmd == "run-watch") {
    std::wstring line = FromUtf8(arg(2));
    const std::wstring folder = FromUtf8(arg(3));
    const int limit = timeout(4, 60000);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &si, &pi)) {
      return Fail("cannot start");
    }
    CloseHandle(pi.hThread);
    // Looked at every few milliseconds: a window shown for a moment counts.
    WindowWatch watch{pi.dwProcessId, {}};
    bool ended = false;
    for (int waited = 0; waited < limit && !ended; waited += 5) {
      EnumWindows(SeeWindow, reinterpret_cast<LPARAM>(&watch));
      ended = WaitForSingleObject(pi.hProcess, 5) == WAIT_OBJECT_0;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    if (!ended) return Fail("the program did not end");
    std::printf("%lu %zu\n", static_cast<unsigned long>(code), watch.seen.size());
    for (HWND h : watch.seen) std::printf("%s\n", Escaped(TextOf(h)).c_str());
    return 0;
  }

  if (cmd == "popup") {
    const int limit = timeout(2, 2000);
    for (int waited = 0;; waited += 50) {
      HWND menu = FindWindowW(L"#32768", nullptr);
      if (menu != nullptr && IsWindowVisible(menu)) {
        PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        std::printf("1\n");
        return 0;
      }
      if (waited >= limit) break;
      Sleep(50);
    }
    std::printf("0\n");
    return 0;
  }

  const std::string caption = arg(2);
  if (cmd == "pick") {
    PickerSearch search{FromUtf8(caption)};
    for (int waited = 0; search.found == nullptr; waited += 50) {
      EnumWindows(FindPicker, reinterpret_cast<LPARAM>(&search));
      if (search.found != nullptr) break;
      if (waited >= 20000) return Fail("no picker");
      Sleep(50);
    }
    Sleep(300);  // let it fill its views
    HWND tree = FindWindowExW(search.found, nullptr, WC_TREEVIEWW, nullptr);
    if (tree != nullptr) {
      // A folder picker walks its tree to the start folder; OK is pressed
      // once the selection has stayed put for a while.
      LRESULT last = -1;
      for (int waited = 0, still = 0; still < 2000 && waited < 30000; waited += 100) {
        const LRESULT sel = SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
        still = sel == last ? still + 100 : 0;
        last = sel;
        Sleep(100);
      }
    } else if (argc > 3) {
      // The file name field: a combo box in newer dialogs, an edit in older.
      HWND field = Child(search.found, 0x47c);
      if (field == nullptr) field = Child(search.found, 0x480);
      if (field == nullptr) return Fail("no file name field");
      SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(FromUtf8(arg(3)).c_str()));
    }
    PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(search.found, IDOK)));
    return 0;
  }
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
    // When the close went out, in Unix milliseconds: a test times what
    // follows from here, not from the driver's own start, which a loaded
    // machine can stretch to a second.
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    std::printf("%llu\n", (ticks - 116444736000000000ULL) / 10000ULL);
    return 0;
  }
  if (cmd == "menu") {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(std::atoi(arg(3).c_str()), 0), 0);
    return 0;
  }
  if (cmd == "client") {
    RECT r{};
    GetClientRect(window, &r);
    std::printf("%ld %ld\n", static_cast<long>(r.right), static_cast<long>(r.bottom));
    return 0;
  }
  if (cmd == "place") {
    SetWindowPos(window, nullptr, std::atoi(arg(3).c_str()), std::atoi(arg(4).c_str()),
                 std::atoi(arg(5).c_str()), std::atoi(arg(6).c_str()), SWP_NOZORDER);
    return 0;
  }
  if (cmd == "ping") {
    const int count = std::atoi(arg(3).c_str());
    const int pause = std::atoi(arg(4).c_str());
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    double longest = 0;
    for (int i = 0; i < count; ++i) {
      if (i > 0) Sleep(static_cast<DWORD>(pause));
      DWORD_PTR result = 0;
      QueryPerformanceCounter(&t0);
      const LRESULT answered =
          SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
      QueryPerformanceCounter(&t1);
      double ms = 1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) /
                  static_cast<double>(freq.QuadPart);
      if (answered == 0) ms = 5000;
      if (ms > longest) longest = ms;
    }
    std::printf("%.0f\n", longest);
    return 0;
  }
  if (cmd == "rect" && argc <= 3) {
    RECT r{};
    GetWindowRect(window, &r);
    std::printf("%ld %ld %ld %ld\n", static_cast<long>(r.left), static_cast<long>(r.top),
                static_cast<long>(r.right - r.left), static_cast<long>(r.bottom - r.top));
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
  } else if (cmd == "set-text") {
    SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(FromUtf8(arg(4)).c_str()));
  } else if (cmd == "toggle") {
    PostMessageW(control, BM_CLICK, 0, 0);
  } else if (cmd == "checked") {
    std::printf("%d\n", SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0);
  } else if (cmd == "rows") {
    const int n = static_cast<int>(SendMessageW(control, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
      const LRESULT state = SendMessageW(control, LVM_GETITEMSTATE, static_cast<WPARAM>(i),
                                         LVIS_STATEIMAGEMASK);
      std::printf("%d|%s|%s|%s\n", ((state & LVIS_STATEIMAGEMASK) >> 12) == 2 ? 1 : 0,
                  ListText(control, i, 0).c_str(), ListText(control, i, 1).c_str(),
                  ListText(control, i, 2).c_str());
    }
  } else if (cmd == "select") {
    const int row = std::atoi(arg(4).c_str());
    DWORD pid = 0;
    GetWindowThreadProcessId(control, &pid);
    HANDLE proc = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
    void* remote = proc ? VirtualAllocEx(proc, nullptr, sizeof(LVITEMW), MEM_COMMIT,
                                         PAGE_READWRITE) : nullptr;
    if (remote == nullptr) return Fail("no buffer in the list's process");
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    WriteProcessMemory(proc, remote, &item, sizeof(item), nullptr);
    SendMessageW(control, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(remote));
    VirtualFreeEx(proc, remote, 0, MEM_RELEASE);
    CloseHandle(proc);
  } else if (cmd == "rclick") {
    const LPARAM at = MAKELPARAM(std::atoi(arg(4).c_str()), std::atoi(arg(5).c_str()));
    PostMessageW(control, WM_RBUTTONDOWN, MK_RBUTTON, at);
    PostMessageW(control, WM_RBUTTONUP, 0, at);
  } else if (cmd == "rect") {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    std::printf("%ld %ld %ld %ld\n", static_cast<long>(r.left), static_cast<long>(r.top),
                static_cast<long>(r.right - r.left), static_cast<long>(r.bottom - r.top));
  } else if (cmd == "fit") {
    // One line for each text given (the control's own without any): a
    // list's cells are measured in one start of the driver, not one each.
    std::vector<std::wstring> texts;
    for (int i = 7; i < argc; ++i) texts.push_back(FromUtf8(arg(i)));
    if (texts.empty()) texts.push_back(FromUtf8(TextOf(control)));
    RECT r{};
    GetClientRect(control, &r);
    for (const std::wstring& text : texts) {
      const SIZE size =
          MeasureText(FromUtf8(arg(4)), std::atoi(arg(5).c_str()), arg(6) == "bold", text);
      std::printf("%ld %ld %ld %ld\n", static_cast<long>(size.cx), static_cast<long>(size.cy),
                  static_cast<long>(r.right), static_cast<long>(r.bottom));
    }
  } else if (cmd == "columns") {
    HWND header = reinterpret_cast<HWND>(SendMessageW(control, LVM_GETHEADER, 0, 0));
    const int n = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
      std::printf("%ld ", static_cast<long>(SendMessageW(control, LVM_GETCOLUMNWIDTH,
                                                          static_cast<WPARAM>(i), 0)));
    }
    RECT r{};
    GetClientRect(control, &r);
    std::printf("%ld %d\n", static_cast<long>(r.right),
                (GetWindowLongW(control, GWL_STYLE) & WS_VSCROLL) != 0 ? 1 : 0);
  } else if (cmd == "key") {
    const std::string name = arg(4);
    const WPARAM vk = name == "ESCAPE" ? VK_ESCAPE
                      : name == "RETURN" ? VK_RETURN
                                         : static_cast<WPARAM>(std::atoi(name.c_str()));
    // Posted, so that the key passes through the program's own message loop.
    PostMessageW(control, WM_KEYDOWN, vk, 1);
    if (vk == VK_ESCAPE || vk == VK_RETURN) {
      PostMessageW(control, WM_CHAR, vk == VK_ESCAPE ? 27 : 13, 1);
    }
    PostMessageW(control, WM_KEYUP, vk, 0xC0000001);
  } else if (cmd == "choose") {
    // A drop-down list's item by its index, told to the owner as a user's
    // choice is.
    SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(std::atoi(arg(4).c_str())), 0);
    PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(control));
  } else if (cmd == "click") {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(control));
  } else {
    return Fail("unknown command");
  }
  return 0;
}
