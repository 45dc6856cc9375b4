// A run that ends during its staging, killed or cancelled, and the run after
// it: the real console client against the tests' web server, which counts
// the bytes it sends for each request.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "client/client_text.h"
#include "client/resume_fixture.h"
#include "client/test_site.h"
#include "shared/dates.h"
#include "shared/documents.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/journal.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto {
namespace {

using testing::ServerProcess;
using testing::TempDir;

// Three files of more than a megabyte in "d\", of which the third is cut off
// half-way in the first run, and a small new file after them.
class ResumedRunTest : public testing::ResumeFixture {
 protected:
  ResumedRunTest() {
    InstallOld({"a.bin", "b.bin", "c.bin"});
    Publish("d\\", "a.bin", testing::Noise(1500000, 1));
    Publish("d\\", "b.bin", testing::Noise(1600000, 2));
    Publish("d\\", "c.bin", testing::Noise(3000000, 3));
    Publish("", "e.txt", "a small new file");
  }

  // The packed file's name in a request's path.
  std::string Pack(const std::string& rel) { return client::PercentEncode(manifest_[rel].Pack); }

  // The client's temporaries in "d\" and the journal.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> found;
    std::vector<fs::DirEntry> entries;
    for (const std::string& folder : {std::string(), std::string("d\\")}) {
      fs::ListDirectory(install_ / folder, &entries);
      for (const auto& e : entries) {
        if (e.name.find(".~q") != std::string::npos) found.push_back(folder + e.name);
      }
    }
    if (FileExists(install_ / "Quasto\\Quastorell.journal") == 1) found.push_back("journal");
    return found;
  }

  // Starts the client against a server on which c.bin stalls half-way, and
  // ends it with `signal` once the half it gets has been written and
  // recorded. Returns the exit status (-1: killed).
  int EndWhileStaging(int signal) {
    ServerProcess stalling("http_server.py",
                           {"--root", site_.path(), "--ranges", "--stall",
                            manifest_["d\\c.bin"].Pack});
    Configure(stalling.http_url());
    return EndOnceHalfIsRecorded(signal, PackedSize("d\\c.bin") / 2);
  }

  void ExpectOld() {
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
      EXPECT_EQ(install_.Read(std::string("d\\") + name), std::string("old ") + name);
    }
    EXPECT_EQ(FileExists(install_ / "e.txt"), 0);
  }
  void ExpectRelease() {
    for (const auto& [rel, content] : release_) {
      EXPECT_TRUE(install_.Read(rel) == content) << rel << " is not the release's";
    }
    EXPECT_EQ(Leftovers(), std::vector<std::string>());
  }

  // What the server sent for each packed file: its requests' statuses and
  // the bytes of their bodies.
  struct Sent {
    std::vector<int> statuses;
    int64_t bytes = 0;
  };
  std::map<std::string, Sent> SentFor(const std::string& log) {
    std::map<std::string, Sent> sent;
    std::istringstream lines(log);
    std::string path;
    int status = 0;
    int64_t bytes = 0;
    while (lines >> path >> status >> bytes) {
      Sent& s = sent[path.substr(1)];
      s.statuses.push_back(status);
      s.bytes += bytes;
    }
    return sent;
  }
  // Runs the client against a server with `flags`; what it sent.
  std::map<std::string, Sent> RunAgainst(const std::vector<std::string>& flags) {
    std::vector<std::string> args = {"--root", site_.path(), "--log", logs_ / "requests"};
    args.insert(args.end(), flags.begin(), flags.end());
    fs::RemoveFile(logs_ / "requests");
    ServerProcess server("http_server.py", args);
    Configure(server.http_url());
    std::string out;
    EXPECT_EQ(Run(&out), 0) << out;
    return SentFor(logs_.Read("requests"));
  }

  TempDir logs_;
};

TEST_F(ResumedRunTest, AKilledRunsStagedFilesAreUsedAndItsPartialDownloadResumed) {
  EXPECT_EQ(EndWhileStaging(SIGKILL), -1);
  ExpectOld();
  EXPECT_NE(Temporary("a.bin", ".~qnew"), "");
  EXPECT_NE(Temporary("b.bin", ".~qnew"), "");

  // A start that cannot reach the server leaves them for the next one.
  Configure("http://127.0.0.1:1/");
  std::string out;
  EXPECT_EQ(Run(&out), 2) << out;
  ExpectOld();
  EXPECT_NE(Temporary("a.bin", ".~qnew"), "");
  EXPECT_EQ(fs::FileSize(Temporary("c.bin", ".~qdl")), PackedSize("d\\c.bin") / 2);

  std::map<std::string, Sent> sent = RunAgainst({"--ranges"});
  EXPECT_EQ(sent.count(Pack("d\\a.bin")), 0u) << "a.bin was staged";
  EXPECT_EQ(sent.count(Pack("d\\b.bin")), 0u) << "b.bin was staged";
  const Sent& c = sent[Pack("d\\c.bin")];
  EXPECT_EQ(c.statuses, std::vector<int>{206});
  EXPECT_EQ(c.bytes, PackedSize("d\\c.bin") - PackedSize("d\\c.bin") / 2)
      << "only the missing bytes";
  EXPECT_EQ(sent[Pack("e.txt")].statuses, std::vector<int>{200});
  ExpectRelease();
  const std::string log = install_.Read("Quasto\\Quastorell.log");
  EXPECT_NE(log.find("-> c.bin (2.86 MB)\n"), std::string::npos) << log;
}

TEST_F(ResumedRunTest, AStagedFileDamagedSinceIsFetchedAgain) {
  EXPECT_EQ(EndWhileStaging(SIGKILL), -1);
  const std::string staged = Temporary("b.bin", ".~qnew");
  ASSERT_NE(staged, "");
  std::string content;
  fs::ReadFile(staged, &content);
  content[1000] = static_cast<char>(content[1000] ^ 0x20);
  fs::WriteFile(staged, content);

  std::map<std::string, Sent> sent = RunAgainst({"--ranges"});
  EXPECT_EQ(sent.count(Pack("d\\a.bin")), 0u);
  EXPECT_EQ(sent[Pack("d\\b.bin")].statuses, std::vector<int>{200});
  EXPECT_EQ(sent[Pack("d\\b.bin")].bytes, PackedSize("d\\b.bin"));
  EXPECT_EQ(sent[Pack("d\\c.bin")].statuses, std::vector<int>{206});
  ExpectRelease();
}

// The release changed between the runs: a.bin and c.bin have new contents
// (c.bin's packed file keeps its name), b.bin stays.
TEST_F(ResumedRunTest, AManifestChangedBetweenTheRunsInstallsOnlyWhatItNames) {
  EXPECT_EQ(EndWhileStaging(SIGKILL), -1);
  Publish("d\\", "a.bin", testing::Noise(1500000, 11));
  Publish("d\\", "c.bin", testing::Noise(3000000, 13));

  std::map<std::string, Sent> sent = RunAgainst({"--ranges"});
  EXPECT_EQ(sent[Pack("d\\a.bin")].statuses, std::vector<int>{200}) << "its staged file is old";
  EXPECT_EQ(sent.count(Pack("d\\b.bin")), 0u);
  // Another version: the server sends all of it, and the client starts over.
  EXPECT_EQ(sent[Pack("d\\c.bin")].statuses, std::vector<int>{200});
  EXPECT_EQ(sent[Pack("d\\c.bin")].bytes, PackedSize("d\\c.bin"));
  ExpectRelease();
}

TEST_F(ResumedRunTest, AServerThatAnswersTheRangeWithTheWholeFileIsTakenFromItsStart) {
  EXPECT_EQ(EndWhileStaging(SIGKILL), -1);
  std::map<std::string, Sent> sent = RunAgainst({"--validators"});
  EXPECT_EQ(sent[Pack("d\\c.bin")].statuses, std::vector<int>{200});
  EXPECT_EQ(sent[Pack("d\\c.bin")].bytes, PackedSize("d\\c.bin"));
  EXPECT_EQ(sent.count(Pack("d\\a.bin")), 0u);
  ExpectRelease();
}

// A partial download whose start was damaged (or is of another file) makes
// no whole file with the rest: the client fetches it once more, whole.
TEST_F(ResumedRunTest, APartialDownloadDamagedSinceIsFetchedWhole) {
  EXPECT_EQ(EndWhileStaging(SIGKILL), -1);
  const std::string partial = Temporary("c.bin", ".~qdl");
  ASSERT_NE(partial, "");
  std::string content;
  fs::ReadFile(partial, &content);
  content[5000] = static_cast<char>(content[5000] ^ 1);
  fs::WriteFile(partial, content);

  std::map<std::string, Sent> sent = RunAgainst({"--ranges"});
  EXPECT_EQ(sent[Pack("d\\c.bin")].statuses, (std::vector<int>{206, 200}));
  ExpectRelease();
  EXPECT_EQ(install_.Read("Quasto\\Quastorell.log").find("Update Error"), std::string::npos);
}

TEST_F(ResumedRunTest, ACancelKeepsWhatItStagedForTheNextRun) {
  EXPECT_EQ(EndWhileStaging(SIGINT), 5);
  ExpectOld();
  const std::string log = install_.Read("Quasto\\Quastorell.log");
  EXPECT_NE(log.find("-> Update cancelled\n"), std::string::npos) << log;
  EXPECT_NE(Temporary("a.bin", ".~qnew"), "");
  EXPECT_NE(Temporary("b.bin", ".~qnew"), "");
  EXPECT_EQ(fs::FileSize(Temporary("c.bin", ".~qdl")), PackedSize("d\\c.bin") / 2);
  EXPECT_EQ(FileExists(install_ / "e.txt"), 0);

  std::map<std::string, Sent> sent = RunAgainst({"--ranges"});
  EXPECT_EQ(sent.count(Pack("d\\a.bin")), 0u);
  EXPECT_EQ(sent.count(Pack("d\\b.bin")), 0u);
  EXPECT_EQ(sent[Pack("d\\c.bin")].bytes, PackedSize("d\\c.bin") - PackedSize("d\\c.bin") / 2);
  ExpectRelease();
}

// A run that finds nothing to do with what an earlier one staged, because
// the release it was for is installed meanwhile, removes it.
TEST_F(ResumedRunTest, WhatNoUpdateNeedsAnyMoreIsRemoved) {
  EXPECT_EQ(EndWhileStaging(SIGKILL), -1);
  for (const auto& [rel, content] : release_) install_.Write(rel, content);
  std::map<std::string, Sent> sent = RunAgainst({"--ranges"});
  EXPECT_EQ(sent.size(), 1u) << "the manifest only";
  ExpectRelease();
  EXPECT_EQ(Temporary("c.bin", ".~qdl"), "");
}

}  // namespace
}  // namespace quasto
