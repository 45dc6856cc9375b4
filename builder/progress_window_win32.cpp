// The progress window an action shows while it runs.
#include <windows.h>
#include <commctrl.h>

#include "builder/gui_win32.h"

namespace quasto::gui {
namespace {

enum ProgressControl : int { kProgressLabel = 14, kProgressBar = 15 };

}  // namespace

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

void Win32Ui::ProgressText(const std::string& text) {
  if (progress_ != nullptr) SetText(GetDlgItem(progress_, kProgressLabel), text);
}

void Win32Ui::ProgressStep(int value) {
  if (progress_ == nullptr) return;
  SendMessageW(GetDlgItem(progress_, kProgressBar), PBM_SETPOS, static_cast<WPARAM>(value), 0);
  FlushEvents();
}

void Win32Ui::EndProgress() {
  if (progress_ == nullptr) return;
  ForgetWindow(progress_);
  DestroyWindow(progress_);
  progress_ = nullptr;
}

}  // namespace quasto::gui
