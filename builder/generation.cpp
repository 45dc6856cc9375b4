#include "builder/generation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "builder/generation_journal.h"
#include "builder/pack_pool.h"
#include "builder/project.h"
#include "builder/signing.h"
#include "builder/stored_document.h"
#include "builder/upload.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/packer.h"

namespace quasto {
namespace {

constexpr char kCaption[] = "Projekt erstellen";
// Deeper than any real program folder; stops a loop of folder links.
constexpr int kMaxDepth = 64;
// While a file is packed, the windows are kept painting at this pace.
constexpr std::chrono::milliseconds kWaitBetweenFlushes{30};

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

void ScanFolder(const std::string& root, std::vector<FileEntry>* list, const std::string& folder,
                int depth) {
  if (depth > kMaxDepth) return;
  std::vector<fs::DirEntry> entries;
  if (!fs::ListDirectory(folder, &entries)) return;
  const std::string rel = folder.substr(root.size());
  for (const fs::DirEntry& d : entries) {
    const std::string full = folder + d.name;
    if (!d.is_directory && Lower(d.name) == "quastore.uif") continue;
    FileEntry e;
    // One look at each entry gives everything, the stamp for the hash cache
    // included.
    fs::PathInfo info;
    if (fs::StatPath(full, &info)) {
      e.Date = info.date;
      e.Attrib = info.attributes;
      e.Stamp = info.stamp;
    } else {
      e.Attrib = -1;
    }
    if (!d.is_directory) {
      e.Path = rel;
      e.Name = d.name;
      e.Size = static_cast<int32_t>(static_cast<uint32_t>(e.Stamp.size & 0xFFFFFFFF));
      e.Type = "F";
      list->push_back(std::move(e));
    } else {
      ScanFolder(root, list, full + "\\", depth + 1);
      e.Path = rel + d.name + "\\";
      e.Type = "D";
      list->push_back(std::move(e));
    }
  }
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
  for (size_t i = 0; i < keys.size() && i < kShown; ++i) *text += "\n  " + keys[i];
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
                const std::string& folder_in) {
  const std::string root = WithTrailingSeparator(root_in);
  std::string folder = folder_in.empty() ? root : WithTrailingSeparator(folder_in);
  // Paths are relative to the root; a folder outside it has nothing to add.
  if (folder.compare(0, root.size(), root) != 0) return;
  ScanFolder(root, list, folder, 0);
}

void MergeScan(std::vector<FileEntry>* list, Manifest* manifest, const ContentHasher& hasher) {
  for (FileEntry& f : *list) {
    if (f.Type != "F") continue;
    const std::string key = f.Path + f.Name;
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
      f.Reason = Proposal::kNew;
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
  }
  return "";
}

void ProposeMissingPacks(std::vector<FileEntry>* list, const Manifest& manifest,
                         const std::string& target) {
  const std::string folder = WithTrailingSeparator(target);
  for (FileEntry& f : *list) {
    if (f.Type != "F" || f.Removed || f.Mark == 1) continue;
    auto it = manifest.find(f.Path + f.Name);
    if (it == manifest.end() || it->second.Update == 0 || it->second.Pack.empty()) continue;
    if (FileExists(folder + it->second.Pack) == 0) f.Mark = 1;
  }
}

void AddRemovedFiles(std::vector<FileEntry>* list, const Manifest& manifest,
                     const std::string& source) {
  if (DirectoryExists(source) == 0) return;
  std::set<std::string> present;
  for (const FileEntry& f : *list) {
    if (f.Type == "F") present.insert(f.Path + f.Name);
  }
  for (const auto& [key, e] : manifest) {
    if (e.Type != "F" || e.Name.empty() || present.count(key) != 0) continue;
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
    ui.InsertRowAtTop({f.Name, f.Path, RuleLabel(f.Flags), f.Mark == 1 && !f.Removed,
                       static_cast<int>(i), f.Removed});
  }
}

bool RuleFitsRemovedFile(int32_t flags) { return flags == kFlagNormal || flags == kFlagDelete; }

bool SetRuleOfRow(BuilderState& st, BuilderUi& ui, int row, int32_t flags) {
  if (row < 0 || row >= ui.RowCount()) return false;
  const int item = ui.Row(row).item;
  if (item < 0 || static_cast<size_t>(item) >= st.file_list.size()) return false;
  FileEntry& f = st.file_list[static_cast<size_t>(item)];
  if (f.Removed && !RuleFitsRemovedFile(flags)) return false;
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
    if (row.checked && f.Removed) {
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
    if (!e.Pack.empty()) claims.emplace(Lower(e.Pack), k);
  }
  return claims;
}

std::string UniquePackName(PackClaims* claims, const std::string& key, const std::string& path,
                           const std::string& name) {
  const std::string base = MakePackName(name, path);
  auto free_for_key = [&](const std::string& pack) {
    auto it = claims->find(Lower(pack));
    return it == claims->end() || it->second == key;
  };
  std::string chosen = base;
  for (int attempt = 0; !free_for_key(chosen); ++attempt) chosen = Suffixed(base, key, attempt);
  (*claims)[Lower(chosen)] = key;
  return chosen;
}

std::string UniquePackName(const Manifest& manifest, const std::string& key,
                           const std::string& path, const std::string& name) {
  PackClaims claims = ClaimedPackNames(manifest);
  return UniquePackName(&claims, key, path, name);
}

GenerationResult GenerateUpdate(BuilderState& st, BuilderUi& ui, int jobs_requested) {
  GenerationResult result;
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
  std::vector<std::string> packs;  // per marked file; "" when refused
  std::vector<PackJob> jobs;
  for (const FileEntry& f : st.file_list) {
    if (f.Mark != 1) continue;
    const std::string key = f.Path + f.Name;
    if (!IsSafeEntryPath(f.Path, f.Name, true)) {
      packs.emplace_back();
      continue;
    }
    packs.push_back(UniquePackName(&claims, key, f.Path, f.Name));
    jobs.push_back({source + key, staging.InTarget(packs.back())});
  }
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
  auto abandon = [&](const std::string& what) {
    staging.Undo();
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

  // Results are taken and recorded here, on the caller's thread, in list
  // order: the manifest, the hash cache and the window see the same sequence
  // as when the files were packed one after the other.
  int processed = 0;
  size_t job = 0;
  for (const FileEntry& f : st.file_list) {
    if (f.Mark == 1) {
      ui.ProgressText(f.Name);
      const std::string key = f.Path + f.Name;
      const std::string& pack = packs[static_cast<size_t>(processed)];
      if (pack.empty()) {
        result.refused.push_back(key);
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
          ++result.created;
        } else if (packed.status == PackStatus::kWriteFailed &&
                   DirectoryExists(target + pack) == 0) {
          // The target cannot take the set (a full disk): none of it goes.
          if (unwritten.empty()) unwritten = target + pack;
        } else {
          // The entry keeps its previous Pack, CRC and Update.
          result.failed.push_back(key);
        }
      }
      ui.ProgressStep(++processed);
    }
    ui.FlushEvents();
  }
  if (!unwritten.empty()) return abandon(unwritten);

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
  if (!result.failed.empty()) {
    text += "\n\n" + FileCountText(result.failed.size(), " Datei konnte", " Dateien konnten") +
            " nicht erstellt werden:";
    AppendList(result.failed, &text);
    icon = MessageIcon::kError;
  }
  if (!result.refused.empty()) {
    text += "\n\n" + FileCountText(result.refused.size(), " Datei wurde", " Dateien wurden") +
            " nicht veröffentlicht, weil der Updater ihren Namen oder Pfad ablehnen würde:";
    AppendList(result.refused, &text);
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
