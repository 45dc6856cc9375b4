#include "builder/project_lock.h"

#include <chrono>
#include <thread>

#include "shared/folders.h"

namespace quasto {
namespace {

// A holder's note is one short line; anything else is not one.
constexpr size_t kMaxNote = 200;

}  // namespace

ProjectLock::~ProjectLock() {
  // While still held, so that the next holder's note is never the one removed.
  if (!folder_.empty()) fs::RemoveFile(folder_ + kProjectOwnerFile);
  lock_.Release();
}

ProjectLock::Result ProjectLock::Acquire(const std::string& folder, const std::string& holder) {
  const std::string dir = WithTrailingSeparator(folder);
  if (DirectoryExists(dir) == 0) CreateDirectoryTree(dir);
  const Result r = lock_.Acquire(dir + kProjectLockFile);
  if (r != Result::kLocked) return r;
  folder_ = dir;
  // Only for the message of a second builder: the lock holds without it.
  fs::WriteFileAtomic(dir + kProjectOwnerFile, holder.substr(0, kMaxNote));
  return r;
}

std::string ProjectLockHolder(const std::string& folder) {
  const std::string path = WithTrailingSeparator(folder) + kProjectOwnerFile;
  // A holder writes its note just after it took the lock: one that has just
  // taken it gets a moment for that.
  for (int i = 0; i < 40 && FileExists(path) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::string note;
  if (fs::FileSize(path) > static_cast<int64_t>(kMaxNote) || !fs::ReadFile(path, &note)) return "";
  for (char& c : note) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return note;
}

}  // namespace quasto
