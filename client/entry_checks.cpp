#include "client/entry_checks.h"

#include "client/run_sequence.h"
#include "shared/folders.h"
#include "shared/name_key.h"

namespace quasto::client {

EntryChecks::EntryChecks(std::string base_folder, std::string data_folder,
                         std::string executable)
    : base_(std::move(base_folder)),
      data_(std::move(data_folder)),
      executable_(std::move(executable)) {}

bool EntryChecks::IsOwnDocumentName(const std::string& name) {
  const std::string key = WindowsNameKey(name);
  return key.rfind("QUASTORELL.", 0) == 0 || key.find('~') != std::string::npos;
}

const EntryChecks::Folder& EntryChecks::Of(const std::string& folder) {
  auto it = folders_.find(folder);
  if (it != folders_.end()) return it->second;
  Folder f;
  f.safe = IsSafeEntryPath(folder, "", false);
  if (f.safe) {
    const std::string dir = base_ + folder;
    f.leads_into = LeadsInto(base_, dir);
    // Another spelling of the folder, or a link to it, is the folder too.
    f.data = WindowsNameKey(folder) == WindowsNameKey(kDataFolderName) || fs::SameFile(dir, data_);
    f.executable = !executable_.empty() && fs::SameFile(dir, FolderPart(executable_));
    f.exists = fs::GlancePath(dir).exists;
  }
  return folders_.emplace(folder, f).first->second;
}

std::string_view EntryChecks::FileRefusal(const std::string& folder, const std::string& name,
                                          bool deleting, const fs::Glance* glance) {
  const Folder& f = Of(folder);
  if (!f.safe || !IsSafeEntryPath("", name, true)) return kBadPath;
  if (f.data && IsOwnDocumentName(name)) return kOwnFile;
  const std::string full = base_ + folder + name;
  // Replacing the client is its self-update; deleting it is not.
  if (deleting && f.executable && fs::SameFile(full, executable_)) return kOwnFile;
  if (!f.leads_into) return kLinkOut;
  const fs::Glance g = glance != nullptr ? *glance : fs::GlancePath(full);
  // Only a link itself can lead elsewhere than its folder.
  if (g.is_link && !LeadsInto(base_, full)) return kLinkOut;
  return "";
}

std::string_view EntryChecks::FolderRefusal(const std::string& folder, bool deleting) {
  const Folder& f = Of(folder);
  if (!f.safe) return kBadPath;
  if (deleting && f.data) return kOwnFile;
  if (!f.leads_into) return kLinkOut;
  return "";
}

}  // namespace quasto::client
