// The main window's file list: its rows, their check marks and rules, the
// grey rows of files that are not published, and the rules' popup menu.
#include <windows.h>
#include <commctrl.h>

#include "builder/builder_app.h"
#include "builder/generation.h"
#include "builder/gui_win32.h"

namespace quasto::gui {

HWND Win32Ui::MakeFileList() {
  row_menu_ = CreatePopupMenu();
  AppendMenuW(row_menu_, MF_STRING, kCmdRuleNormal, L"-----");
  AppendMenuW(row_menu_, MF_STRING, kCmdRuleIfNotExist, L"IfNotExist");
  AppendMenuW(row_menu_, MF_STRING, kCmdRuleNoUpdate, L"NoUpdate");
  AppendMenuW(row_menu_, MF_STRING, kCmdRuleDelete, L"Delete");


  HWND list = AddControl(main_, WC_LISTVIEWW, L"",
                         LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_BORDER | WS_TABSTOP,
                         0, kFileList, 5, 40, 500, 335, fonts_[kArial10Bold]);
  // A name cut off by its column (and the reason a file is not published)
  // shows whole in a tip.
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_CHECKBOXES | LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);
  // The first column takes what the others and a vertical scroll bar leave,
  // so that "Optionen" is not pushed out of sight once the list scrolls.
  RECT list_area{};
  GetClientRect(list, &list_area);
  const int fixed = Scaled(150) + Scaled(75) + GetSystemMetrics(SM_CXVSCROLL);
  const struct {
    const wchar_t* title;
    int width;
  } columns[] = {{L"Datei", list_area.right - fixed}, {L"Verzeichnis", Scaled(150)},
                 {L"Optionen", Scaled(75)}};
  for (int i = 0; i < 3; ++i) {
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = const_cast<wchar_t*>(columns[i].title);
    col.cx = columns[i].width;
    col.iSubItem = i;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&col));
  }
  return list;
}

void Win32Ui::ClearFileList() { SendMessageW(Control(kFileList), LVM_DELETEALLITEMS, 0, 0); }

int Win32Ui::RowCount() const {
  return static_cast<int>(SendMessageW(Control(kFileList), LVM_GETITEMCOUNT, 0, 0));
}

void Win32Ui::SetRowChecked(int index, bool checked) {
  ListView_SetCheckState(Control(kFileList), index, checked ? TRUE : FALSE);
}

void Win32Ui::SetRowRule(int index, const std::string& label) {
  std::wstring w = Wide(label);
  ListView_SetItemText(Control(kFileList), index, 2, w.data());
}

int Win32Ui::SelectedRow() const {
  return static_cast<int>(
      SendMessageW(Control(kFileList), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void Win32Ui::InsertRowAtTop(const ListRow& row) {
  HWND list = Control(kFileList);
  std::wstring name = Wide(!row.refused.empty() ? RefusedLabel(row.name, row.refused)
                           : row.removed       ? RemovedLabel(row.name)
                                               : row.name);
  std::wstring path = Wide(row.path), rule = Wide(row.rule);
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = 0;
  item.pszText = name.data();
  item.lParam = row.item;
  const int index =
      static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  if (index < 0) return;
  ListView_SetItemText(list, index, 1, path.data());
  ListView_SetItemText(list, index, 2, rule.data());
  ListView_SetCheckState(list, index, row.checked ? TRUE : FALSE);
}

ListRow Win32Ui::Row(int index) const {
  HWND list = Control(kFileList);
  ListRow row;
  wchar_t buf[1024];
  for (int col = 0; col < 3; ++col) {
    buf[0] = 0;
    ListView_GetItemText(list, index, col, buf, 1024);
    (col == 0 ? row.name : col == 1 ? row.path : row.rule) = Utf8(buf);
  }
  row.checked = ListView_GetCheckState(list, index) != 0;
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = index;
  if (SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) {
    row.item = static_cast<int>(item.lParam);
  }
  if (IsInertRow(row.item)) {
    const FileEntry& f = *EntryOf(row.item);
    row.removed = f.Removed;
    row.refused = f.Refused;
    row.name = f.Name;  // without the label
  }
  return row;
}

LRESULT Win32Ui::OnListNotify(const NMHDR* hdr) {
  switch (hdr->code) {
    case NM_RCLICK:
      if (!busy_) ShowRowMenu();
      return 0;
    case LVN_ITEMCHANGING: {
      // A removed or refused file cannot be packed: its check box stays clear.
      const auto* change = reinterpret_cast<const NMLISTVIEW*>(hdr);
      const bool checking = (change->uChanged & LVIF_STATE) != 0 &&
                            (change->uNewState & LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
      return checking && IsInertRow(static_cast<int>(change->lParam)) ? TRUE : FALSE;
    }
    case NM_CUSTOMDRAW: {
      auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(const_cast<NMHDR*>(hdr));
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT &&
          IsInertRow(static_cast<int>(draw->nmcd.lItemlParam))) {
        draw->clrText = GetSysColor(COLOR_GRAYTEXT);
      }
      return CDRF_DODEFAULT;
    }
    default:
      return 0;
  }
}

void Win32Ui::ShowRowMenu() {
  const int row = SelectedRow();
  if (row < 0) return;
  // A removed file takes Delete or no rule; the others mean nothing for it,
  // and no rule means anything for a file that is not published.
  const int item = Row(row).item;
  const UINT fits = IsInertRow(item) ? MF_GRAYED : MF_ENABLED;
  const UINT any = IsRefusedRow(item) ? MF_GRAYED : MF_ENABLED;
  EnableMenuItem(row_menu_, kCmdRuleNormal, MF_BYCOMMAND | any);
  EnableMenuItem(row_menu_, kCmdRuleIfNotExist, MF_BYCOMMAND | fits);
  EnableMenuItem(row_menu_, kCmdRuleNoUpdate, MF_BYCOMMAND | fits);
  EnableMenuItem(row_menu_, kCmdRuleDelete, MF_BYCOMMAND | any);
  POINT p{};
  GetCursorPos(&p);
  TrackPopupMenu(row_menu_, TPM_LEFTALIGN | TPM_RIGHTBUTTON, p.x, p.y, 0, main_, nullptr);
}

}  // namespace quasto::gui
