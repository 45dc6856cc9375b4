// The dialog "Projekt - Einstellungen": a project's folders, its upload
// directory and its client's settings.
#include <windows.h>

#include "builder/gui_win32.h"
#include "builder/project.h"

namespace quasto::gui {
namespace {

class ProjectWindow : public ModalWindow {
 public:
  enum Id : int {
    kSourcePanel = 30, kSourceLabel = 31, kSourceField = 32, kSourceButton = 33,
    kTargetLabel = 34, kTargetField = 35, kTargetButton = 36, kFtpCheck = 37, kFtpDirField = 38,
    kFtpFrame = 39, kNameFrame = 40, kNameLabel = 41, kNameField = 42, kClientFrame = 43,
    kUrlLabel = 44, kUrlField = 45, kProgramLabel = 46, kProgramField = 47, kProgramButton = 48,
    kRestartCheck = 49, kMutexFrame = 50, kMutexField = 51, kApplyButton = 52,
  };

  ProjectWindow(Win32Ui& ui, ProjectDialog& dialog) : ui_(ui), dialog_(dialog) {}

  bool Create(HWND owner) {
    hwnd = ui_.MakePopup(owner, L"Projekt - Einstellungen", 0, 415, 184, 330, 435);
    if (hwnd == nullptr) return false;
    ui_.RememberWindow(hwnd, kProjectWindow);
    HFONT label = ui_.font(Win32Ui::kArial9Bold);
    HFONT frame = ui_.font(Win32Ui::kArial8Bold);
    HFONT dots = ui_.font(Win32Ui::kArial10Bold);
    HFONT input = ui_.font(Win32Ui::kConsolas10);
    HFONT system = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    const DWORD field = WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP;
    ui_.AddControl(hwnd, L"BUTTON", L"", BS_GROUPBOX, 0, kNameFrame, 5, 5, 320, 40, frame);
    ui_.AddControl(hwnd, L"STATIC", L"Projektname:", kLabel, 0, kNameLabel, 15, 16, 90, 18, dots);
    ui_.AddControl(hwnd, L"EDIT", L"", field, 0, kNameField, 110, 15, 205, 20, system);
    HWND p = ui_.AddControl(hwnd, kPanelClass, L"", 0, WS_EX_CONTROLPARENT, kSourcePanel, 5, 50,
                            320, 160, nullptr);
    ui_.AddControl(p, L"STATIC", L"Quellverzeichnis:", kLabel, 0, kSourceLabel, 10, 5, 105, 15, label);
    ui_.AddControl(p, L"EDIT", L"", field | ES_READONLY, 0, kSourceField, 10, 20, 270, 20, input);
    ui_.AddControl(p, L"BUTTON", L"...", BS_PUSHBUTTON | WS_TABSTOP, 0, kSourceButton, 285, 19, 25,
                   22, dots);
    ui_.AddControl(p, L"STATIC", L"Zielverzeichnis:", kLabel, 0, kTargetLabel, 10, 50, 105, 15, label);
    ui_.AddControl(p, L"EDIT", L"", field | ES_READONLY, 0, kTargetField, 10, 66, 270, 20, input);
    ui_.AddControl(p, L"BUTTON", L"...", BS_PUSHBUTTON | WS_TABSTOP, 0, kTargetButton, 285, 65, 25,
                   22, dots);
    ui_.AddControl(p, L"BUTTON", L" FTP - Verzeichnis:", BS_AUTOCHECKBOX | WS_TABSTOP, 0,
                   kFtpCheck, 20, 122, 125, 16, label);
    ui_.AddControl(p, L"EDIT", L"", field, 0, kFtpDirField, 145, 120, 155, 20, input);
    ui_.AddControl(p, L"BUTTON", L"FTP - Upload", BS_GROUPBOX, 0, kFtpFrame, 10, 100, 300, 50,
                   frame);
    ui_.AddControl(hwnd, L"BUTTON", L"", BS_GROUPBOX, 0, kClientFrame, 5, 215, 320, 180, frame);
    ui_.AddControl(hwnd, L"STATIC", L"URL für Download:", kLabel, 0, kUrlLabel, 15, 225, 110, 15, label);
    ui_.AddControl(hwnd, L"EDIT", L"", field, 0, kUrlField, 15, 240, 300, 20, input);
    ui_.AddControl(hwnd, L"STATIC", L"Programmdatei:", kLabel, 0, kProgramLabel, 15, 270, 100, 15,
                   label);
    ui_.AddControl(hwnd, L"EDIT", L"", field | ES_READONLY, 0, kProgramField, 15, 285, 270, 20,
                   input);
    ui_.AddControl(hwnd, L"BUTTON", L"...", BS_PUSHBUTTON | WS_TABSTOP, 0, kProgramButton, 290,
                   284, 25, 22, dots);
    ui_.AddControl(hwnd, L"BUTTON", L"Neustart des Programmes nach Update",
                   BS_AUTOCHECKBOX | WS_TABSTOP, 0, kRestartCheck, 15, 310, 240, 15, system);
    ui_.AddControl(hwnd, L"BUTTON", L"Mutex (optional)", BS_GROUPBOX, 0, kMutexFrame, 15, 335,
                   300, 50, frame);
    ui_.AddControl(hwnd, L"EDIT", L"", field, 0, kMutexField, 25, 355, 280, 20,
                   ui_.font(Win32Ui::kConsolas10Bold));
    // The default button: Enter presses it.
    ui_.AddControl(hwnd, L"BUTTON", L"Übernehmen", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, kApplyButton,
                   120, 403, 90, 24, system);
    ShowFields();
    return true;
  }

  void OnCommand(int id, int code) override {
    // A picker or message box runs its own loop; commands that reach the
    // dialog meanwhile must not start a second action.
    if (acting_) return;
    acting_ = true;
    Act(id, code);
    acting_ = false;
  }

 private:
  void Act(int id, int code) {
    switch (id) {
      case IDCANCEL:  // Escape: closed without applying, as by the close box
        done = true;
        break;
      case IDOK:  // Enter: what has the focus, else "Übernehmen"
        Act(FocusedButtonOr(hwnd, kApplyButton), BN_CLICKED);
        break;
      case kSourceButton:
      case kTargetButton:
      case kProgramButton:
        if (code != BN_CLICKED) return;
        ReadFields();
        if (id == kSourceButton) dialog_.PickSource();
        if (id == kTargetButton) dialog_.PickTarget();
        if (id == kProgramButton) dialog_.PickProgram();
        ShowFields();
        break;
      case kFtpCheck:
        if (code == BN_CLICKED) EnableWindow(Item(kFtpDirField), Checked(kFtpCheck) ? TRUE : FALSE);
        break;
      case kApplyButton:
        if (code != BN_CLICKED) return;
        ReadFields();
        if (dialog_.Apply()) {
          result = true;
          done = true;
        }
        break;
      default:
        break;
    }
  }

  void ShowFields() {
    const ProjectDialogFields& f = dialog_.fields;
    SetText(Item(kNameField), f.name);
    SetText(Item(kSourceField), f.source);
    SetText(Item(kTargetField), f.target);
    SetText(Item(kFtpDirField), f.ftp_dir);
    SetChecked(kFtpCheck, f.ftp);
    EnableWindow(Item(kFtpDirField), f.ftp ? TRUE : FALSE);
    SetText(Item(kUrlField), f.url);
    SetText(Item(kProgramField), f.prog_exe);
    SetChecked(kRestartCheck, f.restart);
    SetText(Item(kMutexField), f.mutex);
  }
  void ReadFields() {
    ProjectDialogFields& f = dialog_.fields;
    f.name = TextOf(Item(kNameField));
    f.source = TextOf(Item(kSourceField));
    f.target = TextOf(Item(kTargetField));
    f.ftp_dir = TextOf(Item(kFtpDirField));
    f.ftp = Checked(kFtpCheck);
    f.url = TextOf(Item(kUrlField));
    f.prog_exe = TextOf(Item(kProgramField));
    f.restart = Checked(kRestartCheck);
    f.mutex = TextOf(Item(kMutexField));
  }

  Win32Ui& ui_;
  ProjectDialog& dialog_;
  bool acting_ = false;
};

}  // namespace

bool Win32Ui::RunProjectDialog(ProjectDialog& dialog) {
  ProjectWindow window(*this, dialog);
  if (!window.Create(main_)) return false;
  return RunModal(window);
}

}  // namespace quasto::gui
