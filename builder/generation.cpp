#include "builder/generation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>

#include "builder/delta.h"
#include "builder/generation_journal.h"
#include "builder/pack_pool.h"
#include "builder/project.h"
#include "builder/signing.h"
#include "builder/stored_document.h"
#include "builder/upload.h"
#include "shared/content_hash.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/name_key.h"
#include "shared/packed_file.h"
#include "shared/packer.h"
#include "shared/text.h"

namespace quasto {
namespace {

constexpr char kCaption[] = "Projekt erstellen";
// While a file is packed, the windows are kept painting at this pace.
constexpr std::chrono::milliseconds kWaitBetweenFlushes{30};

// Why the scan does not publish an entry, as the list and `status` show it.
constexpr char kLeadsOutside[] = "Verknüpfung führt aus dem Quellverzeichnis hinaus";
constexpr char kLeadsNowhere[] = "Verknüpfung ohne Ziel";
constexpr char kLoop[] = "Verknüpfung auf einen Ordner darüber (Schleife)";
constexpr char kNotAFile[] = "keine gewöhnliche Datei (FIFO, Socket oder Gerät)";
constexpr char kFolderUnreadable[] = "Ordner nicht lesbar";
constexpr char kUnreadable[] = "nicht lesbar";
constexpr char kNotUtf8[] = "Name ist kein gültiges UTF-8";
constexpr char kClientRefuses[] = "Name, den der Updater ablehnen würde";
constexpr char kTrailingDotOrBlank[] = "Name endet mit einem Punkt oder Leerzeichen";

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string TooDeepReason(int depth) {
  return "mehr als " + std::to_string(depth) + " Ordnerebenen";
}

std::string TooLargeReason() {
  return "2 GiB oder größer: die Update-Info fasst höchstens " +
         std::to_string(kMaxPublishedFileSize) + " Bytes";
}

std::string PackNameReason() {
  return "Name der gepackten Datei länger als " + std::to_string(kMaxPackNameBytes) + " Bytes";
}

bool PackNameTooLong(const std::string& pack) { return pack.size() > kMaxPackNameBytes; }

// One scan of a source folder. Paths of the logic ("\" separators) are
// listed; where each really leads is compared in the platform's resolved
// form, so that links are judged by where they end, not by how they look.
struct Scan {
  std::string root;           // as the logic names it, ending in "\"
  std::string resolved_root;  // resolved, without a trailing separator
  // Resolved folders being listed, the source folder first: a link to one
  // of them is a loop.
  std::vector<std::string> chain;
  std::vector<FileEntry>* list = nullptr;
  ScanLimits limits;
  int64_t seen = 0;
  bool too_many = false;
};

bool InsideRoot(const Scan& s, const std::string& resolved) {
  const std::string& root = s.resolved_root;
  return resolved.size() > root.size() && resolved.compare(0, root.size(), root) == 0 &&
         fs::IsSeparator(resolved[root.size()]);
}

std::string ScanFolder(Scan& s, const std::string& folder, const std::string& resolved);

void AddRefused(Scan& s, const std::string& rel, const std::string& name, bool folder,
                const std::string& why, bool unlisted = false) {
  FileEntry e;
  e.Path = rel;
  e.Name = name;
  e.Type = folder ? "D" : "F";
  e.Refused = why;
  e.Unlisted = unlisted;
  s.list->push_back(std::move(e));
}

void ScanEntry(Scan& s, const std::string& folder, const std::string& rel,
               const std::string& resolved_folder, const fs::DirEntry& d) {
  if (!d.is_directory && Lower(d.name) == "quastore.uif") return;
  const std::string full = folder + d.name;
  fs::EntryInfo info;
  if (!fs::StatEntry(full, &info)) {
    // Listed but not to be looked at (a folder without search permission):
    // unknown, so it keeps whatever state it had.
    AddRefused(s, rel, d.name, d.is_directory, d.is_directory ? kFolderUnreadable : kUnreadable,
               d.is_directory);
    return;
  }
  const bool is_folder = info.info.is_directory;
  if (info.dangling) return AddRefused(s, rel, d.name, d.is_directory, kLeadsNowhere);
  const std::string expected = resolved_folder + fs::Separator() + d.name;
  const std::string target = info.resolved.empty() ? expected : info.resolved;
  if (is_folder && std::find(s.chain.begin(), s.chain.end(), target) != s.chain.end()) {
    return AddRefused(s, rel, d.name, true, kLoop);
  }
  if (target != expected && !InsideRoot(s, target)) {
    return AddRefused(s, rel, d.name, is_folder, kLeadsOutside);
  }
  if (info.is_special) return AddRefused(s, rel, d.name, false, kNotAFile);
  const std::string bad_name = NameRefusal(d.name);
  if (!bad_name.empty()) return AddRefused(s, rel, d.name, is_folder, bad_name);

  FileEntry e;
  e.Date = info.info.date;
  e.Attrib = info.info.attributes;
  if (is_folder) {
    const std::string why = ScanFolder(s, full + "\\", target);
    if (s.too_many) return;
    if (!why.empty()) return AddRefused(s, rel, d.name, true, why, true);
    e.Path = rel + d.name + "\\";
    e.Type = "D";
    s.list->push_back(std::move(e));
    return;
  }
  e.Path = rel;
  e.Name = d.name;
  e.Type = "F";
  e.Stamp = info.info.stamp;
  if (e.Stamp.size > kMaxPublishedFileSize) {
    return AddRefused(s, rel, d.name, false, TooLargeReason());
  }
  if (PackNameTooLong(MakePackName(d.name, rel))) {
    return AddRefused(s, rel, d.name, false, PackNameReason());
  }
  e.Size = static_cast<int32_t>(e.Stamp.size);
  s.list->push_back(std::move(e));
}

// Lists `folder` (below the root, "\" at its end), which resolves to
// `resolved`. "" when it was listed, else why not.
std::string ScanFolder(Scan& s, const std::string& folder, const std::string& resolved) {
  if (static_cast<int>(s.chain.size()) > s.limits.max_depth) {
    return TooDeepReason(s.limits.max_depth);
  }
  std::vector<fs::DirEntry> entries;
  if (!fs::ListDirectory(folder, &entries)) return kFolderUnreadable;
  s.chain.push_back(resolved);
  const std::string rel = folder.substr(s.root.size());
  for (const fs::DirEntry& d : entries) {
    if (++s.seen > s.limits.max_entries) s.too_many = true;
    if (s.too_many) break;
    ScanEntry(s, folder, rel, resolved, d);
  }
  s.chain.pop_back();
  return "";
}

std::string Suffixed(const std::string& pack, const std::string& key, int attempt) {
  char suffix[32];
  if (attempt > 0) {
    std::snprintf(suffix, sizeof suffix, "~%08x-%d.uzf", static_cast<unsigned>(Crc32(key)), attempt);
  } else {
    std::snprintf(suffix, sizeof suffix, "~%08x.uzf", static_cast<unsigned>(Crc32(key)));
  }
  return pack.substr(0, pack.size() - 4) + suffix;  // in place of ".uzf"
}

std::string FileCountText(size_t n, const char* one, const char* many) {
  return std::to_string(n) + (n == 1 ? one : many);
}

void AppendList(const std::vector<std::string>& keys, std::string* text) {
  constexpr size_t kShown = 10;
  // A name is shown, never acted on by a terminal.
  for (size_t i = 0; i < keys.size() && i < kShown; ++i) *text += "\n  " + EscapeControls(keys[i]);
  if (keys.size() > kShown) *text += "\n  ...";
}

}  // namespace

std::string RuleLabel(int32_t flags) {
  switch (flags) {
    case kFlagNoUpdate: return "NoUpdate";
    case kFlagIfNotExist: return "IfNotExist";
    case kFlagDelete: return "Delete";
    default: return "-----";
  }
}

bool RuleFromLabel(const std::string& label, int32_t* flags) {
  for (int32_t f : {kFlagNormal, kFlagNoUpdate, kFlagIfNotExist, kFlagDelete}) {
    if (RuleLabel(f) == label) {
      *flags = f;
      return true;
    }
  }
  return false;
}

void ScanSource(const std::string& root_in, std::vector<FileEntry>* list,
                const ScanLimits& limits) {
  Scan s;
  s.root = WithTrailingSeparator(root_in);
  s.list = list;
  s.limits = limits;
  const size_t first = list->size();
  std::string why;
  if (!fs::ResolvePath(s.root, &s.resolved_root)) {
    why = kFolderUnreadable;
  } else {
    while (!s.resolved_root.empty() && fs::IsSeparator(s.resolved_root.back())) {
      s.resolved_root.pop_back();
    }
    why = ScanFolder(s, s.root, s.resolved_root);
  }
  if (s.too_many) {
    // Part of a folder says nothing about the rest of it.
    list->resize(first);
    why = "mehr als " + std::to_string(limits.max_entries) + " Einträge";
  }
  if (!why.empty()) {
    FileEntry e;
    e.Type = "D";
    e.Refused = why;
    e.Unlisted = true;
    list->push_back(std::move(e));
  }
}

std::string NameRefusal(const std::string& name) {
  if (!IsValidUtf8(name)) return kNotUtf8;
  if (!IsSafeEntryPath("", name, true)) return kClientRefuses;
  // Windows drops them: "a.txt." would be written as "a.txt".
  if (name.back() == '.' || name.back() == ' ') return kTrailingDotOrBlank;
  return "";
}

std::string RefusedLabel(const std::string& name, const std::string& reason) {
  return name + " (nicht veröffentlicht: " + reason + ")";
}

bool ScanIncomplete(const std::vector<FileEntry>& list) {
  return std::any_of(list.begin(), list.end(), [](const FileEntry& f) { return f.Unlisted; });
}

namespace {

// Of scanned entries that name one file on Windows, all files but one are
// refused, the same way whatever order the file system lists them in.
void RefuseNameTwins(std::vector<FileEntry>* list, const Manifest& manifest) {
  std::unordered_map<std::string, std::vector<size_t>> by_name;
  for (size_t i = 0; i < list->size(); ++i) {
    const FileEntry& f = (*list)[i];
    if (!f.Refused.empty() || f.Removed || f.Unlisted) continue;
    if (f.Type == "F") {
      by_name[WindowsNameKey(f.Path + f.Name)].push_back(i);
    } else if (f.Type == "D" && !f.Path.empty()) {
      by_name[WindowsNameKey(f.Path.substr(0, f.Path.size() - 1))].push_back(i);
    }
  }
  for (const auto& [name, members] : by_name) {
    if (members.size() < 2) continue;
    auto key_of = [&](size_t i) { return (*list)[i].Path + (*list)[i].Name; };
    // A folder keeps its name: what lies in it is judged file by file.
    std::string folder;
    for (size_t i : members) {
      const FileEntry& f = (*list)[i];
      if (f.Type == "D" && (folder.empty() || f.Path < folder)) folder = f.Path;
    }
    // Else the file the manifest knows, which is what clients have.
    size_t keeper = list->size();
    bool keeper_known = false;
    for (size_t i : members) {
      if ((*list)[i].Type != "F") continue;
      const bool known = manifest.count(key_of(i)) != 0;
      if (keeper == list->size() || (known && !keeper_known) ||
          (known == keeper_known && key_of(i) < key_of(keeper))) {
        keeper = i;
        keeper_known = known;
      }
    }
    for (size_t i : members) {
      FileEntry& f = (*list)[i];
      if (f.Type != "F" || (folder.empty() && i == keeper)) continue;
      f.Refused = folder.empty()
                      ? "unter Windows derselbe Name wie \"" + key_of(keeper) + "\""
                      : "unter Windows derselbe Name wie der Ordner \"" + folder + "\"";
    }
  }
}

}  // namespace

void MergeScan(std::vector<FileEntry>* list, Manifest* manifest, const ContentHasher& hasher,
               const ReadableCheck& readable) {
  RefuseNameTwins(list, *manifest);
  // The manifest's keys by the name Windows finds them under.
  std::unordered_map<std::string, std::vector<std::string>> spellings;
  for (const auto& [key, e] : *manifest) spellings[WindowsNameKey(key)].push_back(key);
  for (FileEntry& f : *list) {
    if (f.Type != "F" || !f.Refused.empty() || f.Removed) continue;
    const std::string key = f.Path + f.Name;
    // One file on Windows, one entry: a second one, or a Delete of the old
    // spelling, would make clients place the file and then delete it.
    bool renamed = false;
    auto same = spellings.find(WindowsNameKey(key));
    if (same != spellings.end()) {
      if (manifest->count(key) == 0) {
        auto old = manifest->find(same->second.front());
        UpdFileStructure moved = old->second;
        manifest->erase(old);
        moved.Path = f.Path;
        moved.Name = f.Name;
        (*manifest)[key] = std::move(moved);
        renamed = true;
      }
      for (const std::string& other : same->second) {
        if (other != key) manifest->erase(other);
      }
      spellings.erase(same);
    }
    auto it = manifest->find(key);
    if (it != manifest->end()) {
      UpdFileStructure& e = it->second;
      // A file that was never packed (the project was closed before its
      // first generation, or it was unchecked) stays proposed; otherwise it
      // would never reach the update set unless it changed again.
      Proposal why = Proposal::kNone;
      if (e.Pack.empty()) {
        why = Proposal::kNeverPacked;
      } else if (!e.SHA256.empty() && hasher) {
        // Same size and date prove nothing: a file rebuilt or copied with
        // its old date keeps both.
        std::string hex;
        if (!hasher(f, &hex)) {
          why = Proposal::kUnreadable;
        } else if (hex != e.SHA256) {
          why = Proposal::kContentChanged;
        }
      } else if (e.Date < f.Date || e.Size != f.Size) {
        why = Proposal::kDateOrSize;
      }
      // Packed again, its entry and packed file carry the new spelling.
      if (why == Proposal::kNone && renamed) why = Proposal::kRenamed;
      if (why != Proposal::kNone && why != Proposal::kUnreadable && readable && !readable(f)) {
        why = Proposal::kUnreadable;
      }
      // Date and Size describe the content of the packed file, which the
      // client compares with its own file and stamps on it. They move with
      // the packing, not with the scan: a changed file that is not packed
      // must not be announced with its new date and its old content.
      f.Reason = why;
      if (why != Proposal::kNone) {
        e.Version.clear();
        f.Mark = 1;
      } else {
        f.Mark = 0;
      }
      f.Flags = e.Flags;
      // Update stays: a file generated but not yet uploaded must still be
      // sent, or the next manifest would announce a CRC the server lacks.
    } else {
      UpdFileStructure e;
      e.Path = f.Path;
      e.Name = f.Name;
      e.Date = f.Date;
      e.Size = f.Size;
      e.Attrib = f.Attrib;
      e.Type = "F";
      (*manifest)[key] = e;
      f.Mark = 1;
      f.Reason = readable && !readable(f) ? Proposal::kUnreadable : Proposal::kNew;
    }
  }
}

std::string ProposalText(Proposal reason) {
  switch (reason) {
    case Proposal::kNone: return "";
    case Proposal::kNew: return "neu";
    case Proposal::kContentChanged: return "Inhalt geändert";
    case Proposal::kNeverPacked: return "noch nie gepackt";
    case Proposal::kDateOrSize: return "Datum oder Größe geändert";
    case Proposal::kUnreadable: return "nicht lesbar";
    case Proposal::kRenamed: return "Schreibweise geändert";
  }
  return "";
}

void ProposeMissingPacks(std::vector<FileEntry>* list, const Manifest& manifest,
                         const std::string& target) {
  const std::string folder = WithTrailingSeparator(target);
  for (FileEntry& f : *list) {
    if (f.Type != "F" || f.Removed || !f.Refused.empty() || f.Mark == 1) continue;
    auto it = manifest.find(f.Path + f.Name);
    if (it == manifest.end() || it->second.Update == 0 || it->second.Pack.empty()) continue;
    if (FileExists(folder + it->second.Pack) == 0) f.Mark = 1;
  }
}

void AddRemovedFiles(std::vector<FileEntry>* list, const Manifest& manifest,
                     const std::string& source) {
  if (DirectoryExists(source) == 0) return;
  std::set<std::string> present;
  // Folders whose content the scan does not know, by the name Windows
  // finds them under, with a separator at the end.
  std::vector<std::string> unknown;
  for (const FileEntry& f : *list) {
    if (f.Unlisted && f.Name.empty()) return;  // the source folder itself
    if (f.Removed) continue;
    if (f.Type == "F") present.insert(f.Path + f.Name);
    if (f.Type == "D" && !f.Refused.empty()) {
      unknown.push_back(WindowsNameKey(f.Path + f.Name) + "\\");
    }
  }
  for (const auto& [key, e] : manifest) {
    if (e.Type != "F" || e.Name.empty() || present.count(key) != 0) continue;
    if (!unknown.empty()) {
      const std::string name = WindowsNameKey(key);
      if (std::any_of(unknown.begin(), unknown.end(), [&](const std::string& folder) {
            return name.compare(0, folder.size(), folder) == 0;
          })) {
        continue;
      }
    }
    FileEntry f;
    f.Path = e.Path;
    f.Name = e.Name;
    f.Date = e.Date;
    f.Size = e.Size;
    f.Type = "F";
    f.Attrib = e.Attrib;
    f.Flags = e.Flags;
    f.Removed = true;
    list->push_back(std::move(f));
  }
}

std::set<std::string> RemovedKeys(const std::vector<FileEntry>& list) {
  std::set<std::string> keys;
  for (const FileEntry& f : list) {
    if (f.Removed) keys.insert(f.Path + f.Name);
  }
  return keys;
}

std::string TargetFolder(const BuilderState& st) {
  if (!st.project.Target.empty()) return WithTrailingSeparator(st.project.Target);
  return st.base_folder + "Upload\\" + st.project.Titel + "\\";
}

std::string RemovedLabel(const std::string& name) { return name + " (entfernt)"; }

void ShowFileList(BuilderState& st, BuilderUi& ui) {
  ui.ClearFileList();
  std::stable_sort(st.file_list.begin(), st.file_list.end(),
                   [](const FileEntry& a, const FileEntry& b) { return a.Path > b.Path; });
  for (size_t i = 0; i < st.file_list.size(); ++i) {
    const FileEntry& f = st.file_list[i];
    if (f.Name.empty()) continue;
    ui.InsertRowAtTop({f.Name, f.Path, RuleLabel(f.Flags),
                       f.Mark == 1 && !f.Removed && f.Refused.empty(), static_cast<int>(i),
                       f.Removed, f.Refused});
  }
}

bool RuleFitsRemovedFile(int32_t flags) { return flags == kFlagNormal || flags == kFlagDelete; }

bool SetRuleOfRow(BuilderState& st, BuilderUi& ui, int row, int32_t flags) {
  if (row < 0 || row >= ui.RowCount()) return false;
  const int item = ui.Row(row).item;
  if (item < 0 || static_cast<size_t>(item) >= st.file_list.size()) return false;
  FileEntry& f = st.file_list[static_cast<size_t>(item)];
  // A refused entry is not published: a rule would mean nothing.
  if (!f.Refused.empty() || (f.Removed && !RuleFitsRemovedFile(flags))) return false;
  f.Flags = flags;
  UpdFileStructure& e = st.manifest[f.Path + f.Name];
  if (e.Name.empty()) {
    e.Path = f.Path;
    e.Name = f.Name;
    e.Type = "F";
  }
  e.Flags = flags;
  ui.SetRowRule(row, RuleLabel(flags));
  ui.EnableUpload(true);
  return true;
}

bool SetRule(BuilderState& st, BuilderUi& ui, int32_t flags) {
  return SetRuleOfRow(st, ui, ui.SelectedRow(), flags);
}

int TakeSelection(BuilderState& st, BuilderUi& ui) {
  int checked = 0;
  for (int i = 0; i < ui.RowCount(); ++i) {
    const ListRow row = ui.Row(i);
    if (row.item < 0 || static_cast<size_t>(row.item) >= st.file_list.size()) continue;
    FileEntry& f = st.file_list[static_cast<size_t>(row.item)];
    if (row.checked && (f.Removed || !f.Refused.empty())) {
      ui.SetRowChecked(i, false);
      f.Mark = 0;
    } else if (row.checked) {
      f.Mark = 1;
      ui.SetRowChecked(i, false);
      ++checked;
    } else {
      f.Mark = 0;
    }
  }
  return checked;
}

int32_t PackFile(const std::string& source, const std::string& pack_name,
                 const std::string& output_folder, bool* ok, PackResult* detail) {
  const std::string folder = output_folder.empty() ? FolderPart(source) : output_folder;
  PackResult r;
  *ok = PackFileTo(source, WithTrailingSeparator(folder) + pack_name, &r) == PackStatus::kOk;
  if (detail != nullptr) *detail = r;
  return *ok ? static_cast<int32_t>(r.crc) : 0;
}

PackClaims ClaimedPackNames(const Manifest& manifest) {
  PackClaims claims;
  for (const auto& [k, e] : manifest) {
    if (!e.Pack.empty()) claims.emplace(WindowsNameKey(e.Pack), k);
  }
  return claims;
}

std::string UniquePackName(PackClaims* claims, const std::string& key, const std::string& path,
                           const std::string& name) {
  const std::string base = MakePackName(name, path);
  auto free_for_key = [&](const std::string& pack) {
    auto it = claims->find(WindowsNameKey(pack));
    return it == claims->end() || it->second == key;
  };
  std::string chosen = base;
  for (int attempt = 0; !free_for_key(chosen); ++attempt) chosen = Suffixed(base, key, attempt);
  (*claims)[WindowsNameKey(chosen)] = key;
  return chosen;
}

std::string UniquePackName(const Manifest& manifest, const std::string& key,
                           const std::string& path, const std::string& name) {
  PackClaims claims = ClaimedPackNames(manifest);
  return UniquePackName(&claims, key, path, name);
}

namespace {

// A scan that could not list a folder leaves the release's content unknown:
// a set made from it would lack what lies there. True when it stopped.
bool StopOnIncompleteScan(BuilderState& st, BuilderUi& ui, GenerationResult* result) {
  const std::string source = fs::NativePath(WithTrailingSeparator(st.project.Source));
  std::string text;
  for (const FileEntry& f : st.file_list) {
    if (!f.Unlisted) continue;
    if (f.Name.empty()) {
      result->unlisted.push_back("");
      text = "Das Quellverzeichnis \"" + EscapeControls(source) +
             "\" kann nicht gelesen werden: " + f.Refused + ".";
      break;
    }
    result->unlisted.push_back(f.Path + f.Name + "\\");
    text += "\n  " + EscapeControls(result->unlisted.back()) + " (" + f.Refused + ")";
  }
  if (result->unlisted.empty()) return false;
  if (!result->unlisted.front().empty()) {
    text = "Im Quellverzeichnis \"" + EscapeControls(source) +
           "\" können Ordner nicht gelesen werden:" + text +
           "\n\nWas darin liegt, gilt nicht als entfernt.";
  }
  ui.ShowMessage(kCaption, text + "\n\nEs wurden keine Updater-Dateien erstellt.",
                 MessageIcon::kError);
  return true;
}

// True when `path`, followed to its end, still lies below the resolved source
// folder: a link may have been changed since the scan. A missing file is
// left to the packing, which fails on it.
bool StaysInside(const std::string& resolved_root, const std::string& path) {
  std::string resolved;
  if (!fs::ResolvePath(path, &resolved)) return true;
  return resolved.size() > resolved_root.size() &&
         resolved.compare(0, resolved_root.size(), resolved_root) == 0 &&
         fs::IsSeparator(resolved[resolved_root.size()]);
}

}  // namespace

GenerationResult GenerateUpdate(BuilderState& st, BuilderUi& ui, int jobs_requested) {
  GenerationResult result;
  if (StopOnIncompleteScan(st, ui, &result)) return result;
  // An update set belongs to a project: without one there is no client
  // configuration to ship and no manifest to record it in.
  if (st.current_project.empty()) {
    ui.ShowMessage(kCaption, "Es ist kein Projekt geöffnet.", MessageIcon::kWarning);
    result.written = false;
    return result;
  }
  // A configuration that cannot be read is never shipped, nor written over.
  {
    const std::string ucf = ProjectFolder(st, st.current_project) + kClientConfigFile;
    UpdaterStructure on_disk;
    if (ReadStoredDocument(ucf, &on_disk) == Stored::kDamaged) {
      ui.ShowMessage(kCaption,
                     "Die Datei \"" + fs::NativePath(ucf) +
                         "\" ist beschädigt und kann nicht gelesen werden.\n"
                         "Es wurde nichts erstellt; die Datei bleibt unverändert.",
                     MessageIcon::kError);
      result.written = false;
      return result;
    }
  }
  // With a key, every manifest is signed: a key that cannot be used stops
  // the generation before anything changes, never falling back to an
  // unsigned manifest.
  const bool signing = HasSigningKey(st);
  SecretKey key;
  if (signing && !LoadSigningKey(st, ui, kCaption, &key)) {
    result.signing_failed = true;
    return result;
  }
  ProjectStructure& p = st.project;
  p.Version = ui.VersionText();
  p.Date = ui.DateValue();
  if (p.Target.empty()) p.Target = TargetFolder(st);
  const std::string target = WithTrailingSeparator(p.Target);
  const std::string source = WithTrailingSeparator(p.Source);
  const std::string data = target + "Quasto\\";
  if (!DirectoryExists(target)) CreateDirectoryTree(target);
  if (!DirectoryExists(data)) CreateDirectoryTree(data);

  st.last_marked_count = TakeSelection(st, ui);
  ui.BeginProgress("Erzeuge .....", st.last_marked_count);
  const UpdaterStructure client_before = st.client;
  const Manifest manifest_before = st.manifest;
  st.client.ProgInfo = p.Titel + " " + p.Version + " (" + FormatDate(p.Date) + ")";
  // A project made before projects had an identity gets one now, before its
  // manifest is signed and its configuration shipped: from this set on,
  // installations take only this project's signatures.
  if (st.client.ProjectId.empty()) st.client.ProjectId = NewProjectId();

  // Everything is written under temporary names first and takes its place
  // only once all of it is there: a kill, a full disk or a failed write
  // leaves the update set and the project's documents as they were.
  const std::string stem = st.current_project.substr(0, st.current_project.rfind('.'));
  GenerationStaging staging(target, ProjectsFolder(st),
                            ProjectFolder(st, st.current_project) + kGenerationJournalFile);

  PrepareHashCache(st);
  // Packed-file names are claimed in list order before any packing starts,
  // so they never depend on which worker is done first.
  PackClaims claims = ClaimedPackNames(st.manifest);
  std::string resolved_root;
  fs::ResolvePath(source, &resolved_root);
  while (!resolved_root.empty() && fs::IsSeparator(resolved_root.back())) resolved_root.pop_back();
  std::vector<std::string> packs;  // per marked file; "" when refused
  std::map<std::string, std::string> refusals;  // key -> why, for those
  std::vector<PackJob> jobs;
  for (const FileEntry& f : st.file_list) {
    if (f.Mark != 1) continue;
    const std::string key = f.Path + f.Name;
    std::string pack;
    if (!IsSafeEntryPath(f.Path, f.Name, true)) {
      refusals[key] = kClientRefuses;
    } else if (!StaysInside(resolved_root, source + key)) {
      refusals[key] = kLeadsOutside;
    } else {
      pack = UniquePackName(&claims, key, f.Path, f.Name);
      if (PackNameTooLong(pack)) refusals[key] = PackNameReason();
    }
    if (refusals.count(key) != 0) {
      packs.emplace_back();
      continue;
    }
    packs.push_back(pack);
    jobs.push_back({source + key, staging.InTarget(packs.back()), {}});
  }
  // Patches from every content of each file that was kept, and from the
  // content its entry names now (a project that kept nothing yet still has
  // that packed file in the target), to whatever it becomes. Their names
  // are known now, the new content only after packing.
  const std::string project_folder = ProjectFolder(st, st.current_project);
  const KeptIndex kept_before = LoadKeptIndex(project_folder + kKeptIndexFile);
  const size_t kept_generations = static_cast<size_t>(
      p.KeptGenerations > 0 ? std::min(p.KeptGenerations, kMaxKeptGenerations)
                            : kDefaultKeptGenerations);
  struct PatchCandidate {
    std::string key, base, base_pack, name, staged;
    bool from_target = false;  // the base is the set's packed file, not yet kept
  };
  std::vector<PatchCandidate> candidates;
  {
    size_t i = 0;
    for (const FileEntry& f : st.file_list) {
      if (f.Mark != 1) continue;
      const std::string& pack = packs[i++];
      if (pack.empty()) continue;
      const std::string key = f.Path + f.Name;
      std::vector<std::pair<std::string, bool>> bases;
      if (auto it = kept_before.find(key); it != kept_before.end()) {
        for (const std::string& sha : it->second) {
          if (FileExists(KeptContentPath(project_folder, sha))) bases.emplace_back(sha, false);
        }
      }
      if (auto it = manifest_before.find(key); it != manifest_before.end()) {
        const UpdFileStructure& old = it->second;
        const bool known = std::any_of(bases.begin(), bases.end(),
                                       [&](const auto& b) { return b.first == old.SHA256; });
        if (!known && IsSha256Hex(old.SHA256) && !old.Pack.empty() &&
            FileExists(target + old.Pack)) {
          bases.emplace_back(old.SHA256, true);
        }
      }
      if (bases.size() > kept_generations) bases.resize(kept_generations);
      for (const auto& [sha, from_target] : bases) {
        PatchCandidate c;
        c.key = key;
        c.base = sha;
        c.name = PatchFileName(pack, sha);
        // A folder in its place would refuse the rename at the commit.
        if (c.name.empty() || DirectoryExists(target + c.name) != 0) continue;
        c.base_pack = from_target ? target + manifest_before.at(key).Pack
                                  : KeptContentPath(project_folder, sha);
        c.from_target = from_target;
        c.staged = staging.InTarget(c.name);
        candidates.push_back(std::move(c));
      }
    }
  }
  const std::string staged_kept = staging.InProjects(stem + "\\" + kKeptIndexFile);
  // The documents of the set and of the project, whether or not this run
  // writes each of them.
  const std::string staged_lng = staging.InTarget("Quasto\\Quastorell.lng");
  const std::string staged_set_ucf = staging.InTarget(std::string("Quasto\\") + kClientConfigFile);
  const std::string staged_exe = staging.InTarget("Quastorell.exe");
  const std::string staged_pub = staging.InTarget(std::string("Quasto\\") + kPublicKeyFile);
  const std::string staged_signature =
      staging.InTarget(std::string(kManifestFile) + kSignatureSuffix);
  const std::string staged_signed = staging.InTarget(kManifestFile);
  const std::string staged_uif = staging.InProjects(stem + "\\" + kManifestFile);
  const std::string staged_ucf = staging.InProjects(stem + "\\" + kClientConfigFile);
  const std::string staged_upf = staging.InProjects(st.current_project);

  std::string unwritten;  // the first file that could not be written
  // Contents kept by this run: not in the staging, as their names say what
  // they hold, but a run that changes nothing leaves none behind.
  std::vector<std::string> kept_written;
  auto abandon = [&](const std::string& what) {
    staging.Undo();
    for (const std::string& kept : kept_written) fs::RemoveFile(kept);
    fs::RemoveDir(ProjectFolder(st, st.current_project) + kKeptFolder);  // when empty
    st.manifest = manifest_before;
    st.client = client_before;
    // The files stay checked for the next attempt.
    for (int i = 0; i < ui.RowCount(); ++i) {
      const ListRow row = ui.Row(i);
      if (row.item >= 0 && static_cast<size_t>(row.item) < st.file_list.size() &&
          st.file_list[static_cast<size_t>(row.item)].Mark == 1) {
        ui.SetRowChecked(i, true);
      }
    }
    ui.EndProgress();
    ui.ShowMessage(kCaption,
                   "Die Update-Dateien konnten nicht geschrieben werden" +
                       (what.empty() ? std::string(".") : ":\n  " + fs::NativePath(what)) +
                       "\nIst der Datenträger voll? Es wurde nichts geändert; die bisherigen "
                       "Dateien bleiben erhalten.",
                   MessageIcon::kError);
    result.created = 0;
    result.written = false;
    ui.EnableUpload(!PendingUploads(st).empty());
    return result;
  };
  if (!staging.Begin()) {
    return abandon(ProjectFolder(st, st.current_project) + kGenerationJournalFile);
  }

  const int threads = PackThreadCount(jobs_requested, jobs.size());
  PackPool pool(std::move(jobs), threads);
  struct PackedNow {
    std::string staged, sha256;
    uint64_t packed_size = 0, content_size = 0;
  };
  std::map<std::string, PackedNow> packed_now;  // key -> what this run packed

  // Results are taken and recorded here, on the caller's thread, in list
  // order: the manifest, the hash cache and the window see the same sequence
  // as when the files were packed one after the other.
  int processed = 0;
  size_t job = 0;
  std::vector<std::string> refused_lines, failed_lines;
  for (const FileEntry& f : st.file_list) {
    if (!f.Refused.empty()) {
      result.refused.push_back(f.Path + f.Name);
      refused_lines.push_back(f.Path + f.Name + (f.Type == "D" ? "\\" : "") + " (" + f.Refused +
                              ")");
    }
    if (f.Mark == 1) {
      ui.ProgressText(f.Name);
      const std::string key = f.Path + f.Name;
      const std::string& pack = packs[static_cast<size_t>(processed)];
      if (pack.empty()) {
        result.refused.push_back(key);
        refused_lines.push_back(key + " (" + refusals[key] + ")");
      } else {
        while (!pool.Wait(job, kWaitBetweenFlushes)) ui.FlushEvents();
        const PackOutcome& packed = pool.Outcome(job++);
        // A folder in the packed file's place would refuse the rename at
        // the commit: the file fails alone, now.
        if (packed.status == PackStatus::kOk && DirectoryExists(target + pack) == 0) {
          const PackResult& r = packed.result;
          staging.Written(pool.Job(job - 1).dest);
          UpdFileStructure& e = st.manifest[key];
          if (e.Name.empty()) {
            e.Path = f.Path;
            e.Name = f.Name;
            e.Type = "F";
            e.Attrib = f.Attrib;
          }
          e.Date = f.Date;
          // The content packed, which may have moved on since the scan.
          e.Size = static_cast<int32_t>(static_cast<uint32_t>(r.content_size));
          e.SHA256 = r.sha256;
          st.hashes.Record(key, r.sha256, r.started_ns, &r.source_stamp);
          e.CRC = static_cast<int32_t>(r.crc);
          e.Pack = pack;
          e.Version = p.Version;
          e.VDate = p.Date;
          e.Update = 1;
          // Patches to the content it had say nothing about this one.
          e.Patches.clear();
          packed_now[key] = {pool.Job(job - 1).dest, r.sha256, r.packed_size, r.content_size};
          ++result.created;
        } else if (packed.status == PackStatus::kWriteFailed &&
                   DirectoryExists(target + pack) == 0) {
          // The target cannot take the set (a full disk): none of it goes.
          if (unwritten.empty()) unwritten = target + pack;
        } else {
          // The entry keeps its previous Pack, CRC and Update.
          result.failed.push_back(key);
          failed_lines.push_back(packed.status == PackStatus::kSourceTooLarge
                                     ? key + " (" + TooLargeReason() + ")"
                                     : key);
        }
      }
      ui.ProgressStep(++processed);
    }
    ui.FlushEvents();
  }
  if (!unwritten.empty()) return abandon(unwritten);

  // The patches, on the same pool of threads, recorded in list order.
  KeptIndex kept_after;
  for (const auto& [key, contents] : kept_before) {
    if (st.manifest.count(key) != 0 && packed_now.count(key) == 0) kept_after[key] = contents;
  }
  std::set<std::string> bad_bases;  // key + base: not the content named
  {
    std::vector<PackJob> patch_jobs;
    std::vector<const PatchCandidate*> jobs_of;
    for (const PatchCandidate& c : candidates) {
      auto it = packed_now.find(c.key);
      if (it == packed_now.end() || it->second.sha256 == c.base) continue;
      const PackedNow& now = it->second;
      PackJob j;
      j.work = [&c, now] {
        return MakeVerifiedPatch(c.base_pack, c.base, now.staged, now.sha256, c.staged);
      };
      patch_jobs.push_back(std::move(j));
      jobs_of.push_back(&c);
    }
    if (!patch_jobs.empty()) {
      ui.ProgressText("Patches");
      PackPool patch_pool(std::move(patch_jobs), PackThreadCount(jobs_requested, jobs_of.size()));
      for (size_t i = 0; i < jobs_of.size(); ++i) {
        while (!patch_pool.Wait(i, kWaitBetweenFlushes)) ui.FlushEvents();
        const PatchCandidate& c = *jobs_of[i];
        const PackOutcome& o = patch_pool.Outcome(i);
        if (o.status == PackStatus::kSourceUnreadable) {
          bad_bases.insert(c.key + "\n" + c.base);
        } else if (o.status == PackStatus::kWriteFailed) {
          if (unwritten.empty()) unwritten = target + c.name;
        } else if (o.status == PackStatus::kOk && !o.skipped) {
          staging.Written(c.staged);
          st.manifest[c.key].Patches.push_back(
              {c.base, c.name, static_cast<int32_t>(o.result.packed_size), o.result.sha256});
          ++result.patches;
          result.patch_bytes_saved += packed_now[c.key].packed_size - o.result.packed_size;
        }
        ui.FlushEvents();
      }
    }
  }
  if (!unwritten.empty()) return abandon(unwritten);
  // Each file packed now keeps its new content and the earlier ones that
  // proved to be what they claim, newest first. Kept contents are named by
  // their hash: one written here and not committed is removed later.
  if (!packed_now.empty()) fs::MakeDirectory(project_folder + kKeptFolder);
  for (const auto& [key, now] : packed_now) {
    if (now.content_size > kMaxPatchContentSize) continue;
    const std::string kept = KeptContentPath(project_folder, now.sha256);
    std::string bytes;
    if (!FileExists(kept)) {
      if (!(fs::ReadFile(now.staged, &bytes) && fs::WriteFileAtomic(kept, bytes))) {
        continue;  // no patches to the next content, which is all it costs
      }
      kept_written.push_back(kept);
    }
    std::vector<std::string> contents = {now.sha256};
    for (const PatchCandidate& c : candidates) {
      if (c.key != key || c.base == now.sha256 || bad_bases.count(key + "\n" + c.base) != 0 ||
          contents.size() >= kept_generations) {
        continue;
      }
      const std::string base_kept = KeptContentPath(project_folder, c.base);
      if (c.from_target && !FileExists(base_kept)) {
        std::string old;
        if (!(fs::ReadFile(c.base_pack, &old) && fs::WriteFileAtomic(base_kept, old))) continue;
        kept_written.push_back(base_kept);
      }
      contents.push_back(c.base);
    }
    kept_after[key] = std::move(contents);
  }

  // Only a shortcut for the next scan; a cache that cannot be written costs
  // time, never a result.
  st.hashes.Save();

  auto stage = [&](const std::string& staged, const std::string& bytes, const std::string& place) {
    if (fs::WriteFileAtomic(staged, bytes)) {
      staging.Written(staged);
    } else if (unwritten.empty()) {
      unwritten = place;
    }
  };
  std::string lng;
  if (fs::ReadFile(st.base_folder + "Quastorell.lng", &lng)) {
    stage(staged_lng, lng, data + "Quastorell.lng");
  } else {
    result.not_copied.push_back("Quasto\\Quastorell.lng");
  }
  const std::string ucf_text = ToJson(st.client);
  stage(staged_ucf, ucf_text, ProjectFolder(st, st.current_project) + kClientConfigFile);
  stage(staged_set_ucf, ucf_text, data + kClientConfigFile);
  if (!FileExists(target + "Quastorell.exe")) {
    std::string exe;
    if (fs::ReadFile(st.base_folder + "Quastorell.exe", &exe)) {
      stage(staged_exe, exe, target + "Quastorell.exe");
    } else {
      result.not_copied.push_back("Quastorell.exe");
    }
  }
  if (result.created != 0) {
    stage(staged_uif, ToJson(st.manifest), ProjectFolder(st, st.current_project) + kManifestFile);
    stage(staged_kept, KeptIndexText(kept_after), project_folder + kKeptIndexFile);
  }
  stage(staged_upf, ToJson(st.project), ProjectsFolder(st) + st.current_project);
  std::string signing_error;
  if (signing) {
    SignedManifest signed_manifest;
    signing_error = MakeSignedManifest(st, key, st.expires_days, &signed_manifest);
    if (signing_error.empty()) {
      stage(staged_pub, signed_manifest.public_key, data + kPublicKeyFile);
      stage(staged_signature, signed_manifest.signature, SignaturePath(st));
      stage(staged_signed, signed_manifest.manifest, SignedManifestPath(st));
    }
  }
  if (!unwritten.empty()) return abandon(unwritten);

  const int commit_failures = staging.Commit();
  if (commit_failures < 0) {
    return abandon(ProjectFolder(st, st.current_project) + kGenerationJournalFile);
  }
  ui.EndProgress();
  if (commit_failures == 0 && result.created != 0) {
    // What the committed index no longer names, and the patches to
    // contents no file has any more.
    PruneKeptContents(project_folder, kept_after);
    std::set<std::string> patches_now;
    for (const auto& [key, e] : st.manifest) {
      for (const PatchRef& r : e.Patches) patches_now.insert(r.Pack);
    }
    for (const auto& [key, e] : manifest_before) {
      for (const PatchRef& r : e.Patches) {
        if (patches_now.count(r.Pack) == 0 && IsPatchFileName(r.Pack)) {
          fs::RemoveFile(target + r.Pack);
        }
      }
    }
  }

  std::string text;
  MessageIcon icon;
  if (result.created != 0) {
    text = "Es wurden " + std::to_string(result.created) +
           " Updater-Dateien erstellt bzw. aktualisiert.";
    icon = MessageIcon::kInformation;
  } else {
    text = "Es wurden keine neuen Updater-Dateien erstellt bzw. aktualisiert.";
    icon = MessageIcon::kWarning;
  }
  if (result.patches != 0) {
    text += "\n\n" + FileCountText(static_cast<size_t>(result.patches), " Patch", " Patches") +
            " für Anwender früherer Versionen, " + std::to_string(result.patch_bytes_saved) +
            " Bytes kleiner als die ganzen Dateien.";
  }
  if (!result.failed.empty()) {
    text += "\n\n" + FileCountText(result.failed.size(), " Datei konnte", " Dateien konnten") +
            " nicht erstellt werden:";
    AppendList(failed_lines, &text);
    icon = MessageIcon::kError;
  }
  if (!result.refused.empty()) {
    text += "\n\n" + FileCountText(result.refused.size(), " Datei wurde", " Dateien wurden") +
            " nicht veröffentlicht:";
    AppendList(refused_lines, &text);
    icon = MessageIcon::kError;
  }
  if (!result.not_copied.empty()) {
    text += "\n\nNicht in das Update-Verzeichnis kopiert:";
    AppendList(result.not_copied, &text);
    if (icon == MessageIcon::kInformation) icon = MessageIcon::kWarning;
  }
  if (commit_failures > 0) {
    result.written = false;
    text += "\n\nNicht alle Dateien konnten an ihren Platz im Update-Verzeichnis gebracht "
            "werden; vor dem Hochladen werden sie mit der Update-Info verglichen.";
    icon = MessageIcon::kError;
  }
  if (!signing_error.empty()) {
    result.signature_written = false;
    text += "\n\n" + signing_error;
    icon = MessageIcon::kError;
  }
  ui.ShowMessage(kCaption, text, icon);
  // Files packed by an earlier run and not yet sent still wait for it.
  ui.EnableUpload(result.created != 0 || !PendingUploads(st).empty());
  return result;
}

}  // namespace quasto
