// The dialog "Signatur": the password of the signing key.
#include <windows.h>

#include "builder/gui_win32.h"

namespace quasto::gui {
namespace {

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

}  // namespace

std::optional<std::string> Win32Ui::AskKeyPassword() {
  PasswordWindow window(*this);
  if (!window.Create(main_) || !RunModal(window)) return std::nullopt;
  return window.password;
}

}  // namespace quasto::gui
