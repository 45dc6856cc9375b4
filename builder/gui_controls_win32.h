// Small helpers the builder's windows share: text between UTF-8 and the
// wide Win32 strings, finding controls inside containers, fonts and frame
// sizes, and the modal window every dialog derives from.
#ifndef QUASTO_BUILDER_GUI_CONTROLS_WIN32_H_
#define QUASTO_BUILDER_GUI_CONTROLS_WIN32_H_

#include <windows.h>

#include <string>

namespace quasto::gui {

inline constexpr wchar_t kMainClass[] = L"QuastorellBuilder";
inline constexpr wchar_t kPanelClass[] = L"QuastorellPanel";
inline constexpr wchar_t kPopupClass[] = L"QuastorellPopup";

// Dialog labels clip rather than wrap when a substitute font is wider.
inline constexpr DWORD kLabel = SS_LEFTNOWORDWRAP;

std::wstring Wide(const std::string& s);
std::string Utf8(const std::wstring& w);
std::string TextOf(HWND h);
void SetText(HWND h, const std::string& text);

// Controls live inside containers, so they are searched among all
// descendants rather than the direct children only.
HWND FindControl(HWND window, int id);

bool IsUserInput(UINT msg);
HFONT MakeFont(const wchar_t* face, int points, bool bold);
// The frame around a client area of the given size, for windows of that style.
SIZE OuterSize(DWORD style, DWORD ex_style, bool menu, int width, int height);
// Where a window of that outer size sits centred on the owner.
POINT CentreOn(HWND owner, SIZE outer);

// The dialog manager turns Enter into IDOK. As in a dialog of the system, a
// push button that has the focus is pressed; otherwise the dialog's default.
int FocusedButtonOr(HWND dialog, int default_button);

// A modal window of the builder with its own event loop.
class ModalWindow {
 public:
  virtual ~ModalWindow() = default;
  virtual void OnCommand(int id, int code) = 0;
  HWND hwnd = nullptr;
  bool done = false;
  bool result = false;

 protected:
  HWND Item(int id) const { return FindControl(hwnd, id); }
  bool Checked(int id) const {
    return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  void SetChecked(int id, bool on) const {
    SendMessageW(Item(id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
  }
};

}  // namespace quasto::gui

#endif  // QUASTO_BUILDER_GUI_CONTROLS_WIN32_H_
