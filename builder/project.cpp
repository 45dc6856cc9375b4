#include "builder/project.h"

#include <sodium.h>

#include "builder/generation.h"
#include "builder/generation_journal.h"
#include "builder/stored_document.h"
#include "builder/upload.h"
#include "shared/file_stream.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/text.h"

namespace quasto {
namespace {

constexpr char kDialogCaption[] = "Projekt - Einstellungen";
constexpr char kOpenCaption[] = "Projekt öffnen";

std::string Stem(const std::string& file_name) {
  size_t dot = file_name.rfind('.');
  return dot == std::string::npos ? file_name : file_name.substr(0, dot);
}

bool EnsureFolder(const std::string& folder) {
  return DirectoryExists(folder) || CreateDirectoryTree(folder);
}

std::string LowerAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string RemoveAll(std::string s, const std::string& what) {
  if (what.empty()) return s;
  size_t pos;
  while ((pos = s.find(what)) != std::string::npos) s.erase(pos, what.size());
  return s;
}

// Main window after a project was opened or created.
void ShowProject(BuilderState& st, BuilderUi& ui, bool with_date) {
  ui.SetProjectName(st.project.Titel);
  ui.SetVersionText(st.project.Version);
  if (with_date) ui.SetDateValue(st.project.Date);
}

void ScanMergeShow(BuilderState& st, BuilderUi& ui) {
  st.file_list.clear();
  ScanSource(st.project.Source, &st.file_list);
  PrepareHashCache(st);
  // Hashing a large release with a cold cache takes a while; the windows
  // keep painting meanwhile.
  int looked_at = 0;
  const std::string source = WithTrailingSeparator(st.project.Source);
  MergeScan(
      &st.file_list, &st.manifest,
      [&](const FileEntry& f, std::string* hex) {
        if (++looked_at % 64 == 0) ui.FlushEvents();
        return st.hashes.Hash(f.Path + f.Name, hex, f.Stamp.size >= 0 ? &f.Stamp : nullptr);
      },
      [&](const FileEntry& f) {
        fs::InputFile in;
        return in.Open(source + f.Path + f.Name);
      });
  st.hashes.Save();
  ProposeMissingPacks(&st.file_list, st.manifest, TargetFolder(st));
  AddRemovedFiles(&st.file_list, st.manifest, st.project.Source);
  UpdateRecentProjects(st, st.current_project);
  ShowRecentProjects(st, ui);
  ShowFileList(st, ui);
}

}  // namespace

void PrepareHashCache(BuilderState& st) {
  const std::string file =
      st.current_project.empty() ? "" : ProjectFolder(st, st.current_project) + kHashCacheFile;
  const std::string root = WithTrailingSeparator(st.project.Source);
  if (!file.empty() && st.hashes.root() == root && st.hashes.file() == file) return;
  st.hashes = HashCache(file, root);
  st.hashes.Load();
}

std::string ProjectsFolder(const BuilderState& st) { return st.base_folder + "Projects\\"; }

std::string ProjectFolder(const BuilderState& st, const std::string& file_name) {
  return ProjectsFolder(st) + Stem(file_name) + "\\";
}

bool SaveProject(BuilderState& st, const std::string& file_name) {
  if (!EnsureFolder(ProjectsFolder(st))) return false;
  return SaveDocument(ProjectsFolder(st) + file_name, st.project);
}

std::string NewProjectId() {
  if (sodium_init() < 0) return "";
  unsigned char bits[16];
  randombytes_buf(bits, sizeof bits);
  char hex[2 * sizeof bits + 1];
  sodium_bin2hex(hex, sizeof hex, bits, sizeof bits);
  return hex;
}

std::string SaveClientConfig(BuilderState& st, const std::string& file_name) {
  // Installations made from now on take only this project's signatures.
  if (st.client.ProjectId.empty()) st.client.ProjectId = NewProjectId();
  const std::string folder = ProjectFolder(st, file_name);
  if (!EnsureFolder(folder)) return "";
  const std::string path = folder + kClientConfigFile;
  return SaveDocument(path, st.client) ? path : "";
}

std::string SaveManifest(BuilderState& st, const std::string& file_name) {
  const std::string folder = ProjectFolder(st, file_name);
  if (!EnsureFolder(folder)) return "";
  const std::string path = folder + kManifestFile;
  return SaveDocument(path, st.manifest) ? path : "";
}

OpenOutcome ClaimProject(BuilderState& st, BuilderUi& ui, const std::string& file_name,
                         const std::string& caption) {
  const std::string name = Stem(file_name);
  const std::string folder = ProjectFolder(st, file_name);
  if (st.lock == nullptr || st.lock->folder() != folder) {
    st.lock.reset();
    auto lock = std::make_unique<ProjectLock>();
    const std::string holder =
        st.program + " (Prozess " + std::to_string(fs::ProcessId()) + ")";
    switch (lock->Acquire(folder, holder)) {
      case ProjectLock::Result::kLocked:
        break;
      case ProjectLock::Result::kHeld: {
        const std::string other = ProjectLockHolder(folder);
        st.project_in_use = true;
        ui.ShowMessage(caption,
                       "Das Projekt \"" + name + "\" wird gerade von einem anderen Programm "
                       "bearbeitet" + (other.empty() ? "" : ": " + other) +
                           ".\nEs wurde nichts geändert.",
                       MessageIcon::kError);
        return OpenOutcome::kInUse;
      }
      case ProjectLock::Result::kFailed:
        ui.ShowMessage(caption,
                       "Die Sperrdatei \"" + fs::NativePath(folder + kProjectLockFile) +
                           "\" des Projekts \"" + name +
                           "\" kann nicht angelegt werden.\nEs wurde nichts geändert.",
                       MessageIcon::kError);
        return OpenOutcome::kNoLock;
    }
    st.lock = std::move(lock);
  }
  // Before anything of the project is read: its documents and its update
  // set may be half old, half new.
  const GenerationRecovery r = RecoverGeneration(ProjectsFolder(st), folder);
  if (r.kind == GenerationRecovery::kSetAside) {
    ui.ShowMessage(caption,
                   "Eine Erstellung des Projekts \"" + name +
                       "\" wurde unterbrochen, und ihr Protokoll ist beschädigt. Es bleibt als \"" +
                       (r.aside.empty() ? std::string(kGenerationJournalFile) : FilePart(r.aside)) +
                       "\" erhalten.\nBitte prüfen Sie das Zielverzeichnis; vor dem Hochladen "
                       "werden die Dateien mit der Update-Info verglichen.",
                   MessageIcon::kWarning);
  } else if (r.kind == GenerationRecovery::kCompleted && r.failures > 0) {
    ui.ShowMessage(caption,
                   "Eine unterbrochene Erstellung des Projekts \"" + name +
                       "\" konnte nicht vollständig abgeschlossen werden.\nBitte prüfen Sie das "
                       "Zielverzeichnis; vor dem Hochladen werden die Dateien mit der "
                       "Update-Info verglichen.",
                   MessageIcon::kWarning);
  }
  return OpenOutcome::kOpened;
}

void ReleaseProject(BuilderState& st) { st.lock.reset(); }

namespace {

OpenOutcome Damaged(BuilderUi& ui, const std::string& path, const std::string& file_name,
                    const std::string& caption) {
  ui.ShowMessage(caption,
                 "Die Datei \"" + fs::NativePath(path) + "\" des Projekts \"" + Stem(file_name) +
                     "\" ist beschädigt und kann nicht gelesen werden.\nDas Projekt wird nicht "
                     "geöffnet; die Datei bleibt unverändert.",
                 MessageIcon::kError);
  return OpenOutcome::kDamaged;
}

OpenOutcome ReadProjectRecord(BuilderState& st, BuilderUi& ui, const std::string& file_name,
                              const std::string& caption, ProjectStructure* project) {
  const std::string upf = ProjectsFolder(st) + file_name;
  switch (ReadStoredDocument(upf, project)) {
    case Stored::kRead: return OpenOutcome::kOpened;
    case Stored::kMissing: return OpenOutcome::kNotFound;
    case Stored::kDamaged: break;
  }
  return Damaged(ui, upf, file_name, caption);
}

}  // namespace

OpenOutcome ReadProjectDocuments(BuilderState& st, BuilderUi& ui, const std::string& file_name,
                                 bool with_manifest, const std::string& caption) {
  auto damaged = [&](const std::string& path) { return Damaged(ui, path, file_name, caption); };
  ProjectStructure project;
  if (const OpenOutcome o = ReadProjectRecord(st, ui, file_name, caption, &project);
      o != OpenOutcome::kOpened) {
    return o;
  }
  // A missing configuration or manifest is a project that has none yet;
  // one that cannot be read would be replaced by an empty one at the close.
  UpdaterStructure client;
  const std::string ucf = ProjectFolder(st, file_name) + kClientConfigFile;
  if (ReadStoredDocument(ucf, &client) == Stored::kDamaged) return damaged(ucf);
  Manifest manifest;
  const std::string uif = ProjectFolder(st, file_name) + kManifestFile;
  if (ReadStoredDocument(uif, &manifest) == Stored::kDamaged) return damaged(uif);
  st.project = std::move(project);
  st.client = std::move(client);
  if (with_manifest) st.manifest = std::move(manifest);
  return OpenOutcome::kOpened;
}

void UpdateRecentProjects(BuilderState& st, const std::string& file_name) {
  const std::string name = Stem(file_name);
  auto& r = st.recent;
  if (r[0].empty()) {
    r[0] = name;
  } else if (r[1].empty()) {
    if (name != r[0]) {
      r[1] = r[0];
      r[0] = name;
    }
  } else if (name == r[0]) {
  } else if (name == r[1]) {
    std::swap(r[0], r[1]);
  } else {
    r[2] = r[1];
    r[1] = r[0];
    r[0] = name;
  }
}

void ShowRecentProjects(const BuilderState& st, BuilderUi& ui) {
  std::array<std::string, 3> texts;
  for (size_t i = 0; i < 3; ++i) texts[i] = st.recent[i].empty() ? "-----" : st.recent[i];
  ui.ShowRecentProjects(texts);
}

bool CloseProject(BuilderState& st, BuilderUi& ui) {
  if (st.current_project.empty()) return true;
  st.project.Version = ui.VersionText();
  st.project.Date = ui.DateValue();
  bool ok = SaveProject(st, st.current_project);
  ok = !SaveClientConfig(st, st.current_project).empty() && ok;
  ok = !SaveManifest(st, st.current_project).empty() && ok;
  st.current_project.clear();
  ReleaseProject(st);
  return ok;
}

bool NewProject(BuilderState& st, BuilderUi& ui) {
  CloseProject(st, ui);
  ui.SetProjectName("");
  ui.SetVersionText("");
  ui.SetDateValue(fs::NowDateValue());
  ui.ClearFileList();
  st.file_list.clear();
  st.manifest.clear();
  std::string file_name;
  if (EditProjectSettings(st, ui, &file_name) == 0) return false;
  st.current_project = file_name;
  ui.EnableUpload(false);
  st.settings.Write("Intern", "Last", "Project", st.current_project);
  ShowProject(st, ui, false);
  ScanMergeShow(st, ui);
  return true;
}

OpenOutcome TakeUpProject(BuilderState& st, BuilderUi& ui, const std::string& file_name,
                          bool with_manifest, const std::string& caption) {
  ProjectStructure record;
  OpenOutcome o = ReadProjectRecord(st, ui, file_name, caption, &record);
  if (o == OpenOutcome::kOpened) o = ClaimProject(st, ui, file_name, caption);
  // Read again under the lock: another builder may have replaced it.
  if (o == OpenOutcome::kOpened) o = ReadProjectDocuments(st, ui, file_name, with_manifest, caption);
  if (o != OpenOutcome::kOpened) {
    ReleaseProject(st);
    return o;
  }
  SweepLeftovers(TargetFolder(st), ProjectsFolder(st), Stem(file_name));
  return o;
}

OpenOutcome OpenProjectFile(BuilderState& st, BuilderUi& ui, const std::string& file_name) {
  // Left open after a failure, the name would make the next close write the
  // records still in memory (another project's, manifest included) over
  // this project.
  st.current_project.clear();
  st.settings.Write("Intern", "Last", "Project", file_name);
  if (const OpenOutcome o = TakeUpProject(st, ui, file_name, true, kOpenCaption);
      o != OpenOutcome::kOpened) {
    return o;
  }
  st.current_project = file_name;
  ui.EnableUpload(false);
  ShowProject(st, ui, true);
  ScanMergeShow(st, ui);
  // Files generated before a restart and not yet sent can go without
  // generating again.
  ui.EnableUpload(!PendingUploads(st).empty());
  return OpenOutcome::kOpened;
}

bool OpenProjectNamed(BuilderState& st, BuilderUi& ui, const std::string& file_name) {
  return OpenProjectFile(st, ui, file_name) == OpenOutcome::kOpened;
}

bool OpenProject(BuilderState& st, BuilderUi& ui) {
  CloseProject(st, ui);
  auto chosen = ui.PickFile("Bitte Projekt zum Laden auswählen", ProjectsFolder(st),
                            "Projekt (*.upf)|*.upf");
  if (!chosen) return false;
  // Only the name counts: projects are always read from "Projects\".
  return OpenProjectNamed(st, ui, FilePart(*chosen));
}

bool OpenRecentProject(BuilderState& st, BuilderUi& ui, int slot) {
  CloseProject(st, ui);
  if (slot < 1 || slot > 3) return false;
  const std::string name = st.recent[static_cast<size_t>(slot - 1)];
  if (name.empty() || !FileExists(ProjectsFolder(st) + name + kProjectExtension)) return false;
  return OpenProjectNamed(st, ui, name + kProjectExtension);
}

void ConfigureProject(BuilderState& st, BuilderUi& ui) {
  if (st.current_project.empty()) {
    ui.ShowMessage("Projekt konfigurieren", "Es ist kein Projekt geöffnet.", MessageIcon::kWarning);
    return;
  }
  std::string file_name = st.current_project;
  EditProjectSettings(st, ui, &file_name);
}

std::string ProgramFieldText(const std::string& source_field, const std::string& chosen) {
  // An empty source field names the current folder, which exists, and
  // removes nothing.
  if (source_field.empty() || DirectoryExists(source_field)) return RemoveAll(chosen, source_field);
  return FilePart(chosen);
}

std::string ProjectNameProblem(const std::string& name) {
  if (name.empty()) return "Der Projektname fehlt.";
  for (char ch : name) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 32 || std::string_view("\\/:*?\"<>|").find(ch) != std::string_view::npos) {
      return "Der Projektname darf keines der Zeichen \\ / : * ? \" < > | enthalten.";
    }
  }
  // The documents hold it as UTF-8 text.
  if (!IsValidUtf8(name)) return "Der Projektname ist kein gültiger UTF-8-Text.";
  // Windows drops a trailing dot or blank, so "Demo." would share Demo's folder.
  if (name.back() == '.' || name.back() == ' ') {
    return "Der Projektname darf nicht mit einem Punkt oder Leerzeichen enden.";
  }
  // "CON.upf" and "Projects\\CON\\" would open the console, not a file.
  if (IsWindowsDeviceName(name)) {
    return "\"" + name + "\" ist unter Windows ein Gerätename und kann kein Projektname sein.";
  }
  return "";
}

bool IsValidProjectName(const std::string& name) { return ProjectNameProblem(name).empty(); }

bool ProjectNameTaken(const BuilderState& st, const std::string& name) {
  const std::string file_name = name + kProjectExtension;
  if (FileExists(ProjectsFolder(st) + file_name)) return true;
  std::vector<fs::DirEntry> entries;
  if (!fs::ListDirectory(ProjectsFolder(st), &entries)) return false;
  const std::string wanted = LowerAscii(file_name);
  for (const fs::DirEntry& e : entries) {
    if (!e.is_directory && LowerAscii(e.name) == wanted) return true;
  }
  return false;
}

ProjectDialog::ProjectDialog(BuilderState& st, BuilderUi& ui, std::string file_name)
    : st_(st), ui_(ui), file_name_(std::move(file_name)) {
  if (file_name_.empty()) return;
  fields.name = st.project.Titel;
  fields.source = st.project.Source;
  fields.target = st.project.Target;
  fields.ftp_dir = st.project.FTPDir;
  fields.ftp = st.project.FTPUpload != 0;
  fields.url = st.client.URL;
  fields.prog_exe = st.client.ProgExe;
  fields.mutex = st.client.Mutex;
  fields.restart = st.client.Restart != 0;
}

void ProjectDialog::PickSource() {
  auto folder = ui_.PickFolder("Bitte wählen Sie das Quellverzeichnis mit dem Projekt aus!",
                               st_.settings.Read("Intern", "Last", "Source", "C:\\"));
  if (!folder) return;
  st_.settings.Write("Intern", "Last", "Source", *folder);
  fields.source = *folder;
}

void ProjectDialog::PickTarget() {
  auto folder = ui_.PickFolder("Bitte wählen Sie das Zielverzeichnis für die Updater-Dateien aus!",
                               st_.settings.Read("Intern", "Last", "Target", "C:\\"));
  if (!folder) return;
  st_.settings.Write("Intern", "Last", "Target", *folder);
  fields.target = *folder;
}

void ProjectDialog::PickProgram() {
  auto file = ui_.PickFile("Bitte wählen Sie die ausführbare Datei aus!",
                           st_.settings.Read("Intern", "Last", "Source", "C:\\"), "*.exe");
  if (!file) return;
  fields.prog_exe = ProgramFieldText(fields.source, *file);
}

bool ProjectDialog::Apply() {
  if (fields.name.empty() || fields.source.empty()) {
    ui_.ShowMessage(kDialogCaption, "Die Eingaben sind unvollständig!", MessageIcon::kWarning);
    return false;
  }
  // The name becomes a file and a folder below "Projects\" and names the
  // default target folder; a separator or ".." would put them somewhere
  // else, a device name on a device.
  const std::string problem = ProjectNameProblem(fields.name);
  if (!problem.empty()) {
    ui_.ShowMessage(kDialogCaption, problem, MessageIcon::kWarning);
    return false;
  }
  std::string file_name = file_name_;
  if (file_name.empty()) {
    // Applying would replace that project's documents: its rules, its
    // manifest and its settings would be lost without a word.
    auto taken = [&] {
      ui_.ShowMessage(kDialogCaption,
                      "Ein Projekt mit dem Namen \"" + fields.name +
                          "\" existiert bereits. Bitte wählen Sie einen anderen Namen!",
                      MessageIcon::kWarning);
      return false;
    };
    if (ProjectNameTaken(st_, fields.name)) return taken();
    file_name = fields.name + kProjectExtension;
    // Another builder may be creating it at this moment; once locked, the
    // name is looked at again.
    if (ClaimProject(st_, ui_, file_name, kDialogCaption) != OpenOutcome::kOpened) return false;
    if (ProjectNameTaken(st_, fields.name)) {
      ReleaseProject(st_);
      return taken();
    }
    // Every project is told apart from the others a key signs, never one
    // identity carried over from the project open before.
    st_.client.ProjectId = NewProjectId();
  }
  st_.project.Titel = fields.name;
  st_.project.Source = fields.source;
  st_.project.Target = fields.target;
  st_.project.FTPDir = fields.ftp_dir;
  st_.project.FTPUpload = fields.ftp ? 1 : 0;
  SaveProject(st_, file_name);
  st_.client.URL = fields.url;
  st_.client.ProgExe = fields.prog_exe;
  st_.client.Mutex = fields.mutex;
  st_.client.Restart = fields.restart ? 1 : 0;
  SaveClientConfig(st_, file_name);
  file_name_ = file_name;
  return true;
}

int EditProjectSettings(BuilderState& st, BuilderUi& ui, std::string* file_name) {
  ProjectDialog dialog(st, ui, *file_name);
  if (!ui.RunProjectDialog(dialog)) return 0;
  *file_name = dialog.file_name();
  return 1;
}

}  // namespace quasto
