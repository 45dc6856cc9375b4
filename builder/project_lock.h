// One builder at a time on a project. The GUI holds its project's lock from
// open to close, the command line for the length of a command, so that
// neither writes back documents the other has replaced meanwhile. The lock
// is an exclusive lock on "Quastorell.lock" in the project's folder; beside
// it, "Quastorell.owner" names its holder for the message a second builder
// shows.
#ifndef QUASTO_BUILDER_PROJECT_LOCK_H_
#define QUASTO_BUILDER_PROJECT_LOCK_H_

#include <string>

#include "shared/fs.h"

namespace quasto {

inline constexpr char kProjectLockFile[] = "Quastorell.lock";
inline constexpr char kProjectOwnerFile[] = "Quastorell.owner";

class ProjectLock {
 public:
  using Result = fs::ExclusiveLock::Result;

  ProjectLock() = default;
  // Removes the holder's note while the lock is still held, then releases.
  ~ProjectLock();
  ProjectLock(const ProjectLock&) = delete;
  ProjectLock& operator=(const ProjectLock&) = delete;

  // Locks the project folder `folder` (made when missing) and notes
  // `holder` as its holder. kHeld: another builder holds it.
  Result Acquire(const std::string& folder, const std::string& holder);
  const std::string& folder() const { return folder_; }

 private:
  fs::ExclusiveLock lock_;
  std::string folder_;  // "" until locked
};

// The note of whoever holds the lock of `folder`, "" when there is none.
std::string ProjectLockHolder(const std::string& folder);

}  // namespace quasto

#endif  // QUASTO_BUILDER_PROJECT_LOCK_H_
