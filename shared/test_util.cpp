#include "shared/test_util.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <stdexcept>
#include <vector>

#include "shared/folders.h"
#include "shared/fs.h"

namespace quasto::testing {

// What the platform's own calls cannot remove of a folder a test made: under
// Wine, FIFOs and links that lead nowhere, which it does not even list. The
// host removes them; elsewhere there is nothing left to do.
void RemoveLeftoversOnHost(const std::string& folder);

namespace {

std::string SystemTempFolder() {
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
    std::string v = fs::GetEnv(name);
    if (!v.empty()) return v;
  }
  return fs::Separator() == '/' ? "/tmp" : "C:\\";
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = SystemTempFolder();
    if (!fs::IsSeparator(candidate.back())) candidate.push_back(fs::Separator());
    candidate += "quasto-test-" + std::to_string(stamp % 1000000007) + "-" +
                 std::to_string(counter++);
    if (fs::CanListDirectory(candidate)) continue;
    if (fs::MakeDirectory(candidate)) {
      path_ = candidate + fs::Separator();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() { RemoveTree(path_); }

void TempDir::Write(std::string_view rel, std::string_view content) const {
  std::string full = *this / rel;
  std::string folder = FolderPart(full);
  if (!folder.empty()) CreateDirectoryTree(folder);
  if (!fs::WriteFile(full, content)) throw std::runtime_error("cannot write " + full);
}

std::string TempDir::Read(std::string_view rel) const {
  std::string content;
  fs::ReadFile(*this / rel, &content);
  return content;
}

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  std::vector<fs::DirEntry> entries;
  if (fs::ListDirectory(path, &entries)) {
    std::string base = path;
    if (!fs::IsSeparator(base.back())) base.push_back(fs::Separator());
    for (const auto& e : entries) {
      // Tests make links out of their folder and back into it: following
      // one would delete what it names, or never end.
      fs::EntryInfo info;
      if (fs::StatEntry(base + e.name, &info) && info.is_link) {
        RemoveSymlink(base + e.name);
        continue;
      }
      fs::SetAttributes(base + e.name, fs::kAttrArchive);
      if (e.is_directory) {
        RemoveTree(base + e.name);
      } else {
        fs::RemoveFile(base + e.name);
      }
    }
    std::string dir = path;
    while (dir.size() > 1 && fs::IsSeparator(dir.back())) dir.pop_back();
    if (!fs::RemoveDir(dir)) RemoveLeftoversOnHost(dir);
  } else {
    fs::SetAttributes(path, fs::kAttrArchive);
    fs::RemoveFile(path);
  }
}

void EndsWithin(int seconds, const char* what, const std::function<void()>& body) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread watch([&] {
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return done; })) {
      std::fprintf(stderr, "FAILED: %s did not end within %d s\n", what, seconds);
      std::fflush(stderr);
      std::_Exit(1);
    }
  });
  body();
  {
    std::lock_guard<std::mutex> lock(m);
    done = true;
  }
  cv.notify_one();
  watch.join();
}

}  // namespace quasto::testing
