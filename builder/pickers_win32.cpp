// The folder and file pickers of the system.
#include <windows.h>
#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include <utility>
#include <vector>

#include "builder/gui_win32.h"

namespace quasto::gui {
namespace {

int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM, LPARAM data) {
  if (msg == BFFM_INITIALIZED) {
    const auto* p = reinterpret_cast<const std::pair<std::wstring, std::wstring>*>(data);
    SetWindowTextW(hwnd, p->first.c_str());
    if (!p->second.empty()) {
      SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(p->second.c_str()));
    }
  }
  return 0;
}

}  // namespace

std::optional<std::string> Win32Ui::PickFolder(const std::string& title,
                                               const std::string& start) {
  // The picker's caption carries the title too, so that it can be told apart.
  std::pair<std::wstring, std::wstring> data{Wide(title), Wide(start)};
  BROWSEINFOW bi{};
  bi.hwndOwner = Owner();
  bi.lpszTitle = data.first.c_str();
  bi.ulFlags = BIF_RETURNONLYFSDIRS;
  bi.lpfn = BrowseCallback;
  bi.lParam = reinterpret_cast<LPARAM>(&data);
  PIDLIST_ABSOLUTE pidl = SHBrowseForFolderW(&bi);
  if (pidl == nullptr) return std::nullopt;
  wchar_t path[MAX_PATH] = {};
  const bool ok = SHGetPathFromIDListW(pidl, path) != FALSE;
  CoTaskMemFree(pidl);
  if (!ok || path[0] == 0) return std::nullopt;
  std::string folder = Utf8(path);
  if (folder.back() != '\\') folder += '\\';
  return folder;
}

std::optional<std::string> Win32Ui::PickFile(const std::string& title, const std::string& start,
                                             const std::string& pattern) {
  // "Label|*.ext" or a bare pattern, as a filter list of pairs.
  std::wstring filter = Wide(pattern);
  const size_t bar = filter.find(L'|');
  if (bar == std::wstring::npos) {
    filter = filter + L'\0' + filter;
  } else {
    filter[bar] = L'\0';
  }
  filter.push_back(L'\0');
  filter.push_back(L'\0');
  std::wstring wtitle = Wide(title), dir = Wide(start);
  std::vector<wchar_t> file(32768, L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = Owner();
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = dir.empty() ? nullptr : dir.c_str();
  ofn.lpstrTitle = wtitle.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
              OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&ofn)) return std::nullopt;
  return Utf8(file.data());
}

}  // namespace quasto::gui
