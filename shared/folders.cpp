#include "shared/folders.h"

#include "shared/fs.h"

namespace quasto {

std::string BaseFolderFor(const std::string& executable, const std::string& current_dir) {
  std::string folder = FolderPart(executable);
  // Look for the folder "Temp" whatever separators the platform uses.
  std::string probe = folder;
  for (char& c : probe) {
    if (fs::IsSeparator(c)) c = '\\';
  }
  if (probe.size() > 2 && probe.find("\\Temp\\", 2) != std::string::npos) {
    std::string cwd = current_dir;
    if (cwd.empty() || !fs::IsSeparator(cwd.back())) cwd.push_back(fs::Separator());
    return cwd;
  }
  return folder;
}

std::string FindBaseFolder() {
  return BaseFolderFor(fs::ExecutablePath(), fs::CurrentDirectory());
}

int DirectoryExists(const std::string& path) { return fs::CanListDirectory(path) ? 1 : 0; }

int FileExists(const std::string& path) { return fs::FileSize(path) >= 0 ? 1 : 0; }

int CreateDirectoryTree(const std::string& path) {
  if (path.empty()) return 0;
  // Create every prefix that ends at a separator, then the whole path. Roots,
  // drives and shares cannot be created; their failures do not matter, only
  // the result at the end does.
  for (size_t i = 1; i < path.size(); ++i) {
    if (fs::IsSeparator(path[i]) && !fs::IsSeparator(path[i - 1]) && path[i - 1] != ':') {
      std::string prefix = path.substr(0, i);
      if (!fs::CanListDirectory(prefix)) fs::MakeDirectory(prefix);
    }
  }
  if (!fs::CanListDirectory(path)) fs::MakeDirectory(path);
  return DirectoryExists(path);
}

std::string WithTrailingSeparator(std::string folder) {
  if (folder.empty() || !fs::IsSeparator(folder.back())) folder.push_back('\\');
  return folder;
}

std::string FilePart(const std::string& path) {
  size_t pos = path.find_last_of("\\/");
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string FolderPart(const std::string& path) {
  size_t pos = path.find_last_of("\\/");
  return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

}  // namespace quasto
