// The main window "Internet Update erstellen": its menus, fields and
// buttons. Every command goes to the builder's logic (HandleCommand); this
// file only shows the state the logic sets.
#include <windows.h>
#include <commctrl.h>

#include "builder/builder_app.h"
#include "builder/gui_win32.h"
#include "shared/dates.h"

namespace quasto::gui {
namespace {

constexpr int kMainInnerWidth = 510;
constexpr int kMainInnerHeight = 429;

}  // namespace

bool Win32Ui::OpenMainWindow() {
  PrepareWindows();

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

  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_CLIPCHILDREN;
  const int inner_width = Scaled(kMainInnerWidth), inner_height = Scaled(kMainInnerHeight);
  const SIZE outer = OuterSize(style, 0, true, inner_width, inner_height);
  const int x = (GetSystemMetrics(SM_CXSCREEN) - outer.cx) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - outer.cy) / 2;
  main_ = CreateWindowExW(0, kMainClass, L"Internet Update erstellen", style, x, y, outer.cx,
                          outer.cy, nullptr, bar, GetModuleHandleW(nullptr), this);
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

  MakeFileList();
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

void Win32Ui::CloseMainWindow() {
  if (main_ != nullptr) DestroyWindow(main_);
  main_ = nullptr;
}

// --- Handlers

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

// --- Fields

void Win32Ui::SetProjectName(const std::string& text) { SetText(Control(kProjectField), text); }
void Win32Ui::SetVersionText(const std::string& text) { SetText(Control(kVersionField), text); }
std::string Win32Ui::VersionText() const { return TextOf(Control(kVersionField)); }
void Win32Ui::EnableUpload(bool enabled) {
  EnableWindow(Control(kUploadButton), enabled ? TRUE : FALSE);
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

}  // namespace quasto::gui
