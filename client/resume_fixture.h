// What the tests of resumed runs share: the console client beside an
// installation in a temporary folder, a site to update it from, and a run
// ended while it stages "d\c.bin", once half of it is downloaded and
// recorded for the next run.
#ifndef QUASTO_CLIENT_RESUME_FIXTURE_H_
#define QUASTO_CLIENT_RESUME_FIXTURE_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "client/test_site.h"
#include "shared/dates.h"
#include "shared/documents.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto::testing {

inline const int32_t kResumeOld = DateValueFromCivil({2021, 3, 4, 5, 6, 7});
inline const int32_t kResumeNew = DateValueFromCivil({2025, 8, 9, 10, 11, 12});

// Content that does not pack smaller: the packed file is as long as it.
inline std::string Noise(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

class ResumeFixture : public ::testing::Test {
 protected:
  // The client, and an old version of each of `names` in "d\".
  void InstallOld(std::initializer_list<const char*> names) {
    std::string binary;
    fs::ReadFile(QUASTORELL_BINARY, &binary);
    install_.Write("quastorell", binary);
    chmod((install_ / "quastorell").c_str(), 0755);
    CreateDirectoryTree(install_ / "Quasto");
    for (const char* name : names) {
      install_.Write(std::string("d\\") + name, std::string("old ") + name);
      fs::SetFileDate(install_ / (std::string("d\\") + name), kResumeOld);
    }
  }

  void Publish(const std::string& path, const std::string& name, const std::string& content) {
    client::PublishHashed(site_, &manifest_, path, name, content, kResumeNew);
    release_[path + name] = content;
    SaveDocument(site_ / "Quastorell.uif", manifest_);
  }
  int64_t PackedSize(const std::string& rel) { return fs::FileSize(site_ / manifest_[rel].Pack); }

  void Configure(const std::string& url) {
    UpdaterStructure config;
    config.ProgInfo = "Tool 2.0";
    config.URL = url;
    SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  }
  int Run(std::string* out) {
    return RunProgram({install_ / "quastorell", "--unattended"}, out, "", {"LC_ALL=C", "LANG=C"});
  }

  // The temporary of `name` in "d\" with `suffix`, "" when there is none.
  std::string Temporary(const std::string& name, const std::string& suffix) {
    std::vector<fs::DirEntry> entries;
    fs::ListDirectory(install_ / "d", &entries);
    for (const auto& e : entries) {
      if (e.name.rfind(name + ".", 0) == 0 && e.name.size() > suffix.size() &&
          e.name.compare(e.name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return install_ / ("d\\" + e.name);
      }
    }
    return "";
  }

  // Starts the client against the configured server, which must stall
  // c.bin after `half` bytes, and ends it with `signal` once that half is
  // written and recorded. Returns the exit status (-1: killed).
  int EndOnceHalfIsRecorded(int signal, int64_t half) {
    const int pid = StartChild({install_ / "quastorell", "--unattended"}, {"LC_ALL=C"});
    EXPECT_GT(pid, 0);
    bool ready = false;
    for (int i = 0; i < 2000 && !ready; ++i) {
      const std::string partial = Temporary("c.bin", ".~qdl");
      const std::string journal = install_.Read("Quasto\\Quastorell.journal");
      ready = !partial.empty() && fs::FileSize(partial) == half &&
              journal.find("\npart\td\\c.bin.") != std::string::npos;
      if (!ready) usleep(5000);
    }
    EXPECT_TRUE(ready) << "c.bin stalled half-way";
    kill(pid, signal);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempDir site_, install_;
  Manifest manifest_;
  std::map<std::string, std::string> release_;
};

}  // namespace quasto::testing

#endif  // QUASTO_CLIENT_RESUME_FIXTURE_H_
