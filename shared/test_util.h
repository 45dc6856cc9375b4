// Helpers for tests that work on real files.
#ifndef QUASTO_SHARED_TEST_UTIL_H_
#define QUASTO_SHARED_TEST_UTIL_H_

#include <functional>
#include <string>
#include <string_view>

namespace quasto::testing {

// A fresh folder below the system's temporary folder, removed with all its
// content when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder, ending in a separator.
  const std::string& path() const { return path_; }
  // path() + rel; rel may use "\" separators.
  std::string operator/(std::string_view rel) const {
    std::string path = path_;
    path.append(rel);
    return path;
  }

  // Writes a file below the folder, creating its parent folders.
  void Write(std::string_view rel, std::string_view content) const;
  // Reads a file below the folder; "" when missing.
  std::string Read(std::string_view rel) const;

 private:
  std::string path_;
};

// Removes a file or a folder with everything in it. A link is removed
// itself, never followed.
void RemoveTree(const std::string& path);

// Makes what a hostile source folder holds, as the host system makes it:
// under Wine, whose CreateSymbolicLinkW makes no link, through the host's
// own programs (ln, mkfifo), so that Wine sees what a user of the host made.
// A symbolic link at `link` to `target`; a relative target ("..", "sub")
// stays relative, "\" taken as "/". False when it could not be made.
bool MakeSymlink(const std::string& target, const std::string& link);
bool MakeFifo(const std::string& path);
// Removes a link made by MakeSymlink, never what it names.
bool RemoveSymlink(const std::string& link);
// Renames as the host does: Wine takes a rename that changes letter case
// only for one to the same file, and does nothing.
bool RenameOnHost(const std::string& from, const std::string& to);

// Runs `body`; when it has not returned after `seconds`, the test program
// ends at once with a failure naming `what`, instead of waiting for ever.
void EndsWithin(int seconds, const char* what, const std::function<void()>& body);

}  // namespace quasto::testing

#endif  // QUASTO_SHARED_TEST_UTIL_H_
