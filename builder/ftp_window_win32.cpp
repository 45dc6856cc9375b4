// The dialog "Konfiguration": the server the update sets are published to.
#include <windows.h>

#include "builder/upload.h"
#include "builder/gui_win32.h"

namespace quasto::gui {
namespace {

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

  Win32Ui& ui_;
  FtpDialog& dialog_;
  bool acting_ = false;
};

}  // namespace

bool Win32Ui::RunFtpDialog(FtpDialog& dialog) {
  FtpWindow window(*this, dialog);
  if (!window.Create(main_)) return false;
  return RunModal(window);
}

}  // namespace quasto::gui
