#include "builder/password_store.h"

#include "shared/fs.h"

namespace quasto {
namespace {

constexpr char kFileMember[] = "file:";

}  // namespace

bool ProtectPassword(const std::string& base_folder, const std::string& plain,
                     std::string* member) {
  const std::string path = base_folder + kFtpPasswordFile;
  if (plain.empty()) {
    member->clear();
    return fs::RemoveFile(path) || fs::FileSize(path) < 0;
  }
  // Written whole or not at all, and readable by its owner alone from the
  // moment it exists.
  if (!fs::WriteFileAtomic(path, plain, true)) return false;
  *member = std::string(kFileMember) + kFtpPasswordFile;
  return true;
}

bool RecoverPassword(const std::string& base_folder, const std::string& member,
                     std::string* plain) {
  if (member != std::string(kFileMember) + kFtpPasswordFile) return false;
  return fs::ReadFile(base_folder + kFtpPasswordFile, plain);
}

}  // namespace quasto
