// Helpers for tests that work on real files.
#ifndef QUASTO_SHARED_TEST_UTIL_H_
#define QUASTO_SHARED_TEST_UTIL_H_

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
  std::string operator/(std::string_view rel) const { return path_ + std::string(rel); }

  // Writes a file below the folder, creating its parent folders.
  void Write(std::string_view rel, std::string_view content) const;
  // Reads a file below the folder; "" when missing.
  std::string Read(std::string_view rel) const;

 private:
  std::string path_;
};

// Removes a file or a folder with everything in it.
void RemoveTree(const std::string& path);

}  // namespace quasto::testing

#endif  // QUASTO_SHARED_TEST_UTIL_H_
