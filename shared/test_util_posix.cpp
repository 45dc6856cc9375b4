#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "shared/fs.h"
#include "shared/test_util.h"

namespace quasto::testing {

bool MakeSymlink(const std::string& target, const std::string& link) {
  return symlink(fs::NativePath(target).c_str(), fs::NativePath(link).c_str()) == 0;
}

bool MakeFifo(const std::string& path) { return mkfifo(fs::NativePath(path).c_str(), 0644) == 0; }

bool RemoveSymlink(const std::string& link) { return unlink(fs::NativePath(link).c_str()) == 0; }

void RemoveLeftoversOnHost(const std::string&) {}

bool RenameOnHost(const std::string& from, const std::string& to) {
  return rename(fs::NativePath(from).c_str(), fs::NativePath(to).c_str()) == 0;
}

}  // namespace quasto::testing
