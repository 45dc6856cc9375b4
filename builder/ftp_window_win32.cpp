// The dialog "Konfiguration": the server the update sets are published to,
// how it is reached (protocol, SFTP key file) and the fingerprint its key
// must show.
#include <windows.h>

#include "builder/gui_win32.h"
#include "builder/upload.h"

namespace quasto::gui {
namespace {

constexpr const char* kProtocols[] = {"FTP", "FTPS", "SFTP"};

class FtpWindow : public ModalWindow {
 public:
  enum Id : int {
    kPanel = 16, kApply = 17, kClientFrame = 18, kServerLabel = 19, kServer = 20, kDirLabel = 21,
    kDir = 22, kPortLabel = 23, kPort = 24, kLoginFrame = 25, kLoginLabel = 26, kLogin = 27,
    kPasswordLabel = 28, kPassword = 29,
    // The connection's panel, right of the first one.
    kSecurePanel = 90, kConnectionFrame = 91, kProtocolLabel = 92, kProtocol = 93,
    kKeyFileLabel = 94, kKeyFile = 95, kKeyFileButton = 96, kPinFrame = 97, kPin = 98,
    kPinNote = 99, kPinClear = 100,
  };

  FtpWindow(Win32Ui& ui, FtpDialog& dialog) : ui_(ui), dialog_(dialog) {}

  bool Create(HWND owner) {
    hwnd = ui_.MakePopup(owner, L"Konfiguration", WS_EX_TOOLWINDOW, CW_USEDEFAULT, 0, 585, 280);
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

    HWND q = ui_.AddControl(hwnd, kPanelClass, L"", 0, WS_EX_STATICEDGE | WS_EX_CONTROLPARENT,
                            kSecurePanel, 180, 5, 400, 235, nullptr);
    ui_.AddControl(q, L"STATIC", L"Protokoll:", kLabel, 0, kProtocolLabel, 20, 25, 130, 15, system);
    HWND list = ui_.AddControl(q, L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0,
                               kProtocol, 20, 40, 130, 100, system);
    for (const char* name : kProtocols) {
      SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(name).c_str()));
    }
    ui_.AddControl(q, L"STATIC", L"Schlüsseldatei (nur SFTP, optional):", kLabel, 0,
                   kKeyFileLabel, 20, 70, 320, 15, system);
    ui_.AddControl(q, L"EDIT", L"", field, 0, kKeyFile, 20, 85, 320, 20, system);
    ui_.AddControl(q, L"BUTTON", L"...", BS_PUSHBUTTON | WS_TABSTOP, 0, kKeyFileButton, 350, 84,
                   30, 22, system);
    ui_.AddControl(q, L"BUTTON", L"Verbindung", BS_GROUPBOX, 0, kConnectionFrame, 10, 5, 380, 110,
                   frame);
    // A fingerprint is 50 characters; the field shows it whole.
    ui_.AddControl(q, L"EDIT", L"", field, 0, kPin, 20, 140, 360, 20, system);
    ui_.AddControl(q, L"STATIC",
                   L"Leer: FTPS vertraut den Zertifikaten des Systems, SFTP fragt beim ersten "
                   L"Hochladen nach dem Schlüssel des Servers.",
                   SS_LEFT, 0, kPinNote, 20, 165, 360, 28, system);
    ui_.AddControl(q, L"BUTTON", L"Entfernen", BS_PUSHBUTTON | WS_TABSTOP, 0, kPinClear, 290, 197,
                   90, 22, system);
    ui_.AddControl(q, L"BUTTON", L"Fingerabdruck des Servers (SHA-256)", BS_GROUPBOX, 0, kPinFrame,
                   10, 120, 380, 105, frame);

    ui_.AddControl(hwnd, L"BUTTON", L"Übernehmen", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, kApply, 45,
                   248, 90, 24, system);
    SetText(Item(kServer), dialog_.server);
    SetText(Item(kPort), dialog_.port);
    SetText(Item(kDir), dialog_.start_dir);
    SetText(Item(kLogin), dialog_.login);
    SetText(Item(kPassword), dialog_.password);
    SetText(Item(kKeyFile), dialog_.key_file);
    SetText(Item(kPin), dialog_.fingerprint);
    ShowProtocol();
    return true;
  }

  void OnCommand(int id, int code) override {
    if (acting_) return;
    acting_ = true;
    Act(id, code);
    acting_ = false;
  }

 private:
  void Act(int id, int code) {
    switch (id) {
      case IDCANCEL:  // Escape: closed without applying
        done = true;
        break;
      case IDOK:  // Enter: what has the focus, else "Übernehmen"
        Act(FocusedButtonOr(hwnd, kApply), BN_CLICKED);
        break;
      case kProtocol:
        if (code != CBN_SELCHANGE) return;
        dialog_.port = TextOf(Item(kPort));
        dialog_.ChooseProtocol(SelectedProtocol());
        SetText(Item(kPort), dialog_.port);
        ShowProtocol();
        break;
      case kKeyFileButton:
        if (code != BN_CLICKED) return;
        dialog_.key_file = TextOf(Item(kKeyFile));
        dialog_.PickKeyFile();
        SetText(Item(kKeyFile), dialog_.key_file);
        break;
      case kPinClear:
        if (code != BN_CLICKED) return;
        SetText(Item(kPin), "");
        SetFocus(Item(kPin));
        break;
      case kApply:
        if (code == BN_CLICKED) Apply();
        break;
      default:
        break;
    }
  }

  std::string SelectedProtocol() const {
    const LRESULT i = SendMessageW(Item(kProtocol), CB_GETCURSEL, 0, 0);
    return i >= 0 && i < 3 ? kProtocols[i] : dialog_.protocol;
  }

  // Selects the dialog's protocol; the key file is for SFTP alone, and a
  // plain FTP server has no key to pin.
  void ShowProtocol() {
    int index = -1;
    for (int i = 0; i < 3; ++i) {
      if (dialog_.protocol == kProtocols[i]) index = i;
    }
    SendMessageW(Item(kProtocol), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    const BOOL sftp = dialog_.protocol == "SFTP" ? TRUE : FALSE;
    const BOOL secure = dialog_.protocol != "FTP" ? TRUE : FALSE;
    for (int id : {kKeyFileLabel, kKeyFile, kKeyFileButton}) EnableWindow(Item(id), sftp);
    for (int id : {kPin, kPinNote, kPinClear}) EnableWindow(Item(id), secure);
  }

  void Apply() {
    dialog_.server = TextOf(Item(kServer));
    dialog_.port = TextOf(Item(kPort));
    dialog_.start_dir = TextOf(Item(kDir));
    dialog_.login = TextOf(Item(kLogin));
    dialog_.password = TextOf(Item(kPassword));
    dialog_.protocol = SelectedProtocol();
    dialog_.key_file = TextOf(Item(kKeyFile));
    dialog_.fingerprint = TextOf(Item(kPin));
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
