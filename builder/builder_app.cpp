#include "builder/builder_app.h"

#include "builder/ftp_client.h"
#include "builder/generation.h"
#include "builder/project.h"
#include "builder/stored_document.h"
#include "builder/upload.h"
#include "shared/folders.h"
#include "shared/fs.h"

namespace quasto {

void StartBuilder(BuilderState& st, BuilderUi& ui, const std::string& base_folder) {
  StartBuilderFiles(st, base_folder);
  StartBuilderLists(st, ui);
}

void RemoveStaleTemporaries(const std::string& folder) {
  std::vector<fs::DirEntry> entries;
  if (!fs::ListDirectory(folder, &entries)) return;
  const int64_t before = fs::ClockNowNs() - int64_t{kStaleTemporarySeconds} * 1000000000;
  for (const fs::DirEntry& e : entries) {
    if (e.is_directory || e.name.rfind("Quastorell.", 0) != 0 ||
        e.name.find(".tmp~") == std::string::npos) {
      continue;
    }
    fs::FileStamp stamp;
    if (fs::StatFile(folder + e.name, &stamp) && stamp.mtime_ns < before) {
      fs::RemoveFile(folder + e.name);
    }
  }
}

void StartBuilderFiles(BuilderState& st, const std::string& base_folder) {
  st.network_ready = InitNetwork();
  st.base_folder = base_folder.empty() ? FindBaseFolder() : WithTrailingSeparator(base_folder);
  RemoveStaleTemporaries(st.base_folder);
  st.settings.Open("Quastorel", st.base_folder + "Quastorell.reg", "");
  if (!st.settings.damaged_text().empty()) st.notices.push_back(st.settings.damaged_text());
}

void StartBuilderLists(BuilderState& st, BuilderUi& ui) {
  st.file_list.clear();
  st.manifest.clear();
  st.recent[0] = st.settings.Read("Intern", "Last", "Project1", "");
  st.recent[1] = st.settings.Read("Intern", "Last", "Project2", "");
  st.recent[2] = st.settings.Read("Intern", "Last", "Project3", "");
  ShowRecentProjects(st, ui);
  LoadFtpSettings(st);
  for (const std::string& text : st.notices) {
    ui.ShowMessage(kSettingsCaption, text, MessageIcon::kWarning);
  }
  st.notices.clear();
}

void HandleCommand(BuilderState& st, BuilderUi& ui, int id, FtpClient* ftp) {
  switch (id) {
    case kCmdNewProject: NewProject(st, ui); break;
    case kCmdOpenProject: OpenProject(st, ui); break;
    case kCmdConfigureProject: ConfigureProject(st, ui); break;
    case kCmdFtpSettings: FtpSettingsDialog(st, ui); break;
    case kCmdRecent1:
    case kCmdRecent2:
    case kCmdRecent3: OpenRecentProject(st, ui, id - kCmdRecent1 + 1); break;
    case kCmdRuleNormal: SetRule(st, ui, kFlagNormal); break;
    case kCmdRuleIfNotExist: SetRule(st, ui, kFlagIfNotExist); break;
    case kCmdRuleNoUpdate: SetRule(st, ui, kFlagNoUpdate); break;
    case kCmdRuleDelete: SetRule(st, ui, kFlagDelete); break;
    case kCmdGenerate: GenerateUpdate(st, ui); break;
    case kCmdUpload: {
      std::unique_ptr<FtpClient> own;
      if (ftp == nullptr) {
        own = MakeFtpClient();
        ftp = own.get();
      }
      UploadUpdateSet(st, ui, *ftp);
      break;
    }
    default: break;
  }
}

bool ShutdownBuilder(BuilderState& st, BuilderUi& ui, const ShutdownOptions& options) {
  bool ok = CloseProject(st, ui);
  if (options.save_ftp_settings) ok = SaveFtpSettings(st) && ok;
  st.settings.Write("Intern", "Last", "Project1", st.recent[0]);
  st.settings.Write("Intern", "Last", "Project2", st.recent[1]);
  st.settings.Write("Intern", "Last", "Project3", st.recent[2]);
  return st.settings.Save() && ok;
}

}  // namespace quasto
