// The console client as a user runs it: a real installation folder, a real
// web server, the real program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>

#include "client/system.h"
#include "client/test_site.h"
#include "shared/content_hash.h"
#include "shared/dates.h"
#include "shared/documents.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/signature.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto {
namespace {

using testing::ServerProcess;
using testing::TempDir;

const int32_t kOld = DateValueFromCivil({2021, 3, 4, 5, 6, 7});
const int32_t kNew = DateValueFromCivil({2025, 8, 9, 10, 11, 12});

class ConsoleClientTest : public ::testing::Test {
 protected:
  ConsoleClientTest()
      : server_("http_server.py",
                {"--root", site_.path(), "--connections", logs_ / "connections"}) {
    std::string binary;
    fs::ReadFile(QUASTORELL_BINARY, &binary);
    install_.Write("quastorell", binary);
    chmod((install_ / "quastorell").c_str(), 0755);
    UpdaterStructure config;
    config.ProgInfo = "Tool 2.0";
    config.URL = server_.http_url();
    CreateDirectoryTree(install_ / "Quasto");
    SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  }

  void Publish(const std::string& path, const std::string& name, const std::string& content) {
    client::PublishFile(site_, &manifest_, path, name, content, kNew);
    SaveDocument(site_ / "Quastorell.uif", manifest_);
  }
  // "new app" as app.txt, with its hash, in a manifest signed with `secret`.
  void PublishSignedApp(const SecretKey& secret) {
    client::PublishHashed(site_, &manifest_, "", "app.txt", "new app", kNew);
    const std::string text = ToJson(manifest_);
    site_.Write("Quastorell.uif", text);
    site_.Write("Quastorell.uif.minisig",
                SignMessage(text, secret,
                            MakeTrustedComment(fs::ClockNowNs() / 1000000000, "Quastorell.uif", {})));
  }

  // app.txt "old" installed, "new app" published.
  void InstallOldAppAndPublishNew() {
    install_.Write("app.txt", "old");
    fs::SetFileDate(install_ / "app.txt", kOld);
    Publish("", "app.txt", "new app");
  }

  int Run(std::vector<std::string> args, std::string* out, const std::string& input = "") {
    args.insert(args.begin(), install_ / "quastorell");
    return testing::RunProgram(args, out, input, args_env_);
  }

  // Connections the web server has accepted so far.
  size_t Connections() const {
    const std::string log = logs_.Read("connections");
    return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
  }

  std::vector<std::string> args_env_ = {"LC_ALL=C", "LANG=C"};
  TempDir site_, install_, logs_;
  ServerProcess server_;
  Manifest manifest_;
};

TEST_F(ConsoleClientTest, HelpPrintsTheUsageAndUpdatesNothing) {
  InstallOldAppAndPublishNew();
  for (const char* flag : {"--help", "-h"}) {
    std::string out;
    EXPECT_EQ(Run({flag}, &out), 0) << flag;
    EXPECT_EQ(out.rfind("Usage: quastorell [options] [--] [restart argument] [program folder]\n",
                        0),
              0u)
        << out;
  }
  EXPECT_EQ(install_.Read("app.txt"), "old");
  EXPECT_EQ(FileExists(install_ / "Quasto\\Quastorell.log"), 0);
  // A German user reads it in German.
  std::string out;
  std::vector<std::string> args = {install_ / "quastorell", "--help"};
  EXPECT_EQ(testing::RunProgram(args, &out, "", {"LC_ALL=de_DE.UTF-8"}), 0);
  EXPECT_EQ(out.rfind("Aufruf: quastorell", 0), 0u) << out;
}

TEST_F(ConsoleClientTest, UnattendedUpdateThenNothingToDo) {
  InstallOldAppAndPublishNew();
  Publish("sub\\", "more.txt", std::string(4096, 'm'));
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
  EXPECT_EQ(install_.Read("app.txt"), "new app");
  EXPECT_EQ(install_.Read("sub\\more.txt"), std::string(4096, 'm'));
  EXPECT_NE(out.find("Tool 2.0"), std::string::npos) << out;
  EXPECT_NE(out.find("2 Dateien zur Aktualisierung  (4 KB)"), std::string::npos) << out;
  EXPECT_NE(out.find("Aktualisierung komplett."), std::string::npos) << out;
  EXPECT_NE(install_.Read("Quasto\\Quastorell.log").find("-> app.txt (0 KB)\n"),
            std::string::npos);

  out.clear();
  EXPECT_EQ(Run({"--unattended"}, &out), 0);
  EXPECT_NE(out.find("Keine Aktualisierung erforderlich."), std::string::npos) << out;
}

TEST_F(ConsoleClientTest, ManifestAndFiftyFilesTakeOneConnection) {
  for (int i = 0; i < 50; ++i) {
    const std::string n = std::to_string(i);
    install_.Write("lib\\f" + n + ".dll", "old " + n);
    fs::SetFileDate(install_ / ("lib\\f" + n + ".dll"), kOld);
    client::PublishFile(site_, &manifest_, "lib\\", "f" + n + ".dll",
                        "new " + n + std::string(static_cast<size_t>(i) * 300, 'x'), kNew);
  }
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
  EXPECT_NE(out.find("50 Dateien zur Aktualisierung"), std::string::npos) << out;
  for (int i = 0; i < 50; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_EQ(install_.Read("lib\\f" + n + ".dll"),
              "new " + n + std::string(static_cast<size_t>(i) * 300, 'x'));
  }
  EXPECT_EQ(Connections(), 1u) << "51 requests";
}

// Date values carry no zone: under the date rule a client west of the
// publisher fetches current files and one east of it skips changed ones. With
// content hashes both end equal to the release and fetch just the changes.
TEST_F(ConsoleClientTest, ClientsInOtherTimeZonesFetchExactlyTheChangedFiles) {
  const int32_t hour = 3600;
  client::PublishHashed(site_, &manifest_, "", "same.dll", "unchanged", kNew);
  client::PublishHashed(site_, &manifest_, "", "app.exe", "version 2", kNew);
  client::PublishHashed(site_, &manifest_, "lib\\", "core.dll", "core v2", kNew);
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  for (const char* zone : {"TZ=America/Los_Angeles", "TZ=Asia/Tokyo"}) {
    // Version 1 as installed in the publisher's zone: the unchanged file has
    // the release's date, the changed ones are an hour older.
    install_.Write("same.dll", "unchanged");
    fs::SetFileDate(install_ / "same.dll", kNew);
    install_.Write("app.exe", "version 1");
    fs::SetFileDate(install_ / "app.exe", kNew - hour);
    install_.Write("lib\\core.dll", "core v1");
    fs::SetFileDate(install_ / "lib\\core.dll", kNew - hour);
    fs::RemoveFile(install_ / "Quasto\\Quastorell.hash");
    std::string out;
    args_env_ = {"LC_ALL=C", "LANG=C", zone};
    EXPECT_EQ(Run({"--unattended"}, &out), 0) << zone << out;
    EXPECT_NE(out.find("2 Dateien zur Aktualisierung"), std::string::npos) << zone << out;
    EXPECT_EQ(install_.Read("app.exe"), "version 2") << zone;
    EXPECT_EQ(install_.Read("lib\\core.dll"), "core v2") << zone;
    EXPECT_EQ(install_.Read("same.dll"), "unchanged") << zone;
    out.clear();
    EXPECT_EQ(Run({"--unattended"}, &out), 0);
    EXPECT_NE(out.find("Keine Aktualisierung erforderlich."), std::string::npos) << zone << out;
  }
}

TEST_F(ConsoleClientTest, ListsTheFilesAsksAndExitsWithThreeWhenDeclined) {
  install_.Write("old.txt", "going");
  Publish("", "app.txt", "new app");
  Publish("sub\\", "more.txt", std::string(4096, 'm'));
  manifest_["old.txt"].Name = "old.txt";
  manifest_["old.txt"].Type = "F";
  manifest_["old.txt"].Flags = kFlagDelete;
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  std::string out;
  EXPECT_EQ(Run({}, &out, "n\n"), 3) << out;
  const size_t list = out.find("  app.txt (0 KB)\n  Delete: old.txt\n  sub\\more.txt (4 KB)\n");
  const size_t question = out.find("Aktualisieren? [y/N]");
  EXPECT_NE(list, std::string::npos) << out;
  EXPECT_NE(question, std::string::npos) << out;
  EXPECT_LT(list, question) << out;
  EXPECT_EQ(FileExists(install_ / "app.txt"), 0);
  EXPECT_EQ(install_.Read("old.txt"), "going");

  // No answer at all (end of input) declines too.
  out.clear();
  EXPECT_EQ(Run({}, &out, ""), 3) << out;
  out.clear();
  EXPECT_EQ(Run({}, &out, "j\n"), 0) << out;
  EXPECT_EQ(install_.Read("app.txt"), "new app");
  EXPECT_EQ(FileExists(install_ / "old.txt"), 0);
}

TEST_F(ConsoleClientTest, ExitStatusForFailuresAndMissingManifest) {
  Publish("", "app.txt", "new app");
  manifest_["app.txt"].CRC ^= 1;
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 1) << out;
  EXPECT_NE(out.find("[warning] Quastorell:\n  \xC3\x9C" "bertragungsfehler beim Download:\n  app.txt"),
            std::string::npos)
      << out;

  fs::RemoveFile(site_ / "Quastorell.uif");
  out.clear();
  EXPECT_EQ(Run({"--unattended"}, &out), 2) << out;
  EXPECT_NE(out.find("[error] Tool 2.0:\n  Ung\xC3\xBCltige Internetadresse (URL)."),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("'Quastorel.ucf'!\n  HTTP status 404\n"), std::string::npos) << out;

  // A refusal is told apart from a wrong address; an unreachable server
  // has no status to tell.
  UpdaterStructure config;
  config.ProgInfo = "Tool 2.0";
  config.URL = server_.http_url() + "status/403/";
  SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  out.clear();
  EXPECT_EQ(Run({"--unattended"}, &out), 2) << out;
  EXPECT_NE(out.find("'Quastorel.ucf'!\n  HTTP status 403\n"), std::string::npos) << out;
  config.URL = "http://127.0.0.1:1/";
  SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  out.clear();
  EXPECT_EQ(Run({"--unattended"}, &out), 2) << out;
  EXPECT_EQ(out.find("HTTP status"), std::string::npos) << out;
}

TEST_F(ConsoleClientTest, ADamagedManifestSaysWhyAndExitsWithTwo) {
  InstallOldAppAndPublishNew();
  site_.Write("Quastorell.uif", ToJson(manifest_) + "<html>");
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 2) << out;
  EXPECT_NE(out.find("[error] Tool 2.0:\n  Die Update-Informationen sind besch\xC3\xA4" "digt "
                     "oder unvollst\xC3\xA4" "ndig.\n  Aktualisierung wird abgebrochen.\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("The manifest cannot be read: there are bytes after the JSON value"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Keine Aktualisierung erforderlich."), std::string::npos) << out;
  EXPECT_EQ(install_.Read("app.txt"), "old");
}

// "Update complete." alone would say the installation is the release: the
// console names the refused entries, counts them and says where the log is
// that gives the reasons, also when nothing else is to be done.
TEST_F(ConsoleClientTest, RefusedEntriesAreCountedWithWhereToReadWhy) {
  InstallOldAppAndPublishNew();
  client::PublishFile(site_, &manifest_, "..\\", "evil.txt", "outside", kNew);
  UpdFileStructure& big = client::PublishFile(site_, &manifest_, "", "big.iso", "x", kNew);
  big.Size = static_cast<int32_t>(0x80000005u);
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  const std::string log_path = fs::NativePath(install_ / "Quasto\\Quastorell.log");
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
  EXPECT_NE(out.find("  Refused: ..\\evil.txt (its path leaves the folder or is no name Windows "
                     "allows)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  Refused: big.iso (its size is negative)\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("-2097152"), std::string::npos) << out;
  const size_t done = out.find("Aktualisierung komplett.");
  const size_t count =
      out.find("  2 entries of the manifest were refused; the log says why: " + log_path + "\n");
  EXPECT_NE(done, std::string::npos) << out;
  EXPECT_NE(count, std::string::npos) << out;
  EXPECT_LT(done, count) << out;
  const std::string log = install_.Read("Quasto\\Quastorell.log");
  EXPECT_NE(log.find("-> app.txt (0 KB)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("-> Update Error: big.iso (its size is negative)\n"), std::string::npos)
      << log;

  // Nothing else to do: the log is written for them all the same.
  fs::RemoveFile(install_ / "Quasto\\Quastorell.log");
  out.clear();
  EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
  EXPECT_NE(out.find("Keine Aktualisierung erforderlich."), std::string::npos) << out;
  EXPECT_NE(out.find("2 entries of the manifest were refused; the log says why: "),
            std::string::npos)
      << out;
  EXPECT_NE(install_.Read("Quasto\\Quastorell.log").find("-> Update Error: ..\\evil.txt ("),
            std::string::npos);
}

// A large manifest is analysed in time proportional to its entries: what is
// asked of a folder (where its links lead, whether it is the data folder or
// the client's) is asked once per folder, and each file is looked at once.
// Counted in system calls, which do not depend on the machine's speed.
TEST_F(ConsoleClientTest, FolderChecksAreMadeOncePerFolder) {
  constexpr int kFolders = 20, kPerFolder = 500;
  std::string doc = "{";
  for (int i = 0; i < kFolders * kPerFolder; ++i) {
    // Texts built without joining literals to temporaries or assigning
    // literals: g++ 12 warns falsely (-Wrestrict) about those here.
    std::string folder = std::to_string(i / kPerFolder);
    folder.insert(0, "lib").append("\\");
    std::string name = std::to_string(i);
    name.insert(0, 1, 'f').append(".dll");
    if (i % kPerFolder == 0) CreateDirectoryTree(install_ / folder);
    install_.Write(folder + name, "x");
    UpdFileStructure e;
    e.Path = folder;
    e.Name = name;
    e.Type = std::string(1, 'F');
    e.Date = 5;  // long before the files' dates: all current
    doc += (i ? ", " : "") + JsonString(folder + name) + ": " + ToJson(e);
  }
  site_.Write("Quastorell.uif", doc + "}");
  const std::string trace = logs_ / "trace.txt";
  std::string out;
  EXPECT_EQ(testing::RunProgram({"/usr/bin/strace", "-f", "-qq", "-o", trace, "-e",
                                 "trace=readlink,readlinkat,lstat,newfstatat,stat,statx",
                                 install_ / "quastorell", "--unattended"},
                                &out, "", {"LC_ALL=C", "ASAN_OPTIONS=detect_leaks=0"}),
            0)
      << out;
  EXPECT_NE(out.find("Keine Aktualisierung erforderlich."), std::string::npos) << out;
  const std::string calls = logs_.Read("trace.txt");
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = calls.find(what); at != std::string::npos; at = calls.find(what, at + 1)) {
      ++n;
    }
    return n;
  };
  // Links are resolved per folder (one readlink per component each time).
  EXPECT_LT(count("readlink"), static_cast<size_t>(kFolders * 40)) << "per entry, not per folder";
  // One look at each file, and a few at each folder and document.
  EXPECT_LT(count("\n"), static_cast<size_t>(kFolders * kPerFolder * 2)) << calls.size();
}

// Rollback protection that no longer holds is said and is no success.
TEST_F(ConsoleClientTest, AStateThatCannotBeWrittenEndsWithStatusOne) {
  PublicKey pub;
  SecretKey secret;
  GenerateKeyPair(&pub, &secret);
  install_.Write("Quasto\\Quastorell.pub", PublicKeyFileText(pub));
  ASSERT_TRUE(fs::MakeDirectory(install_ / "Quasto\\Quastorell.state"));
  PublishSignedApp(secret);
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 1) << out;
  EXPECT_EQ(install_.Read("app.txt"), "new app");
  EXPECT_NE(out.find("  Quastorell.state cannot be written: a manifest older than this one would "
                     "not be refused next time\n"),
            std::string::npos)
      << out;
}

// --check asks and changes nothing: the status says whether an update waits,
// the result file what it would change and fetch.
TEST_F(ConsoleClientTest, CheckSaysWhetherAnUpdateWaitsAndChangesNothing) {
  InstallOldAppAndPublishNew();
  manifest_["app.txt"].Version = "2.0";
  manifest_["app.txt"].VDate = kNew;
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  std::string out;
  EXPECT_EQ(Run({"--check", "-x"}, &out), 6) << out;
  EXPECT_EQ(install_.Read("app.txt"), "old");
  EXPECT_EQ(FileExists(install_ / "Quasto\\Quastorell.log"), 0);
  const std::string result = install_.Read("Quasto\\Quastorell.result");
  EXPECT_NE(result.find("\"Status\": 6,\n  \"StatusWord\": \"update-waiting\""), std::string::npos)
      << result;
  EXPECT_NE(result.find("\"Mode\": \"check\""), std::string::npos) << result;
  EXPECT_NE(result.find("\"ManifestVersion\": \"2.0\""), std::string::npos) << result;
  EXPECT_NE(result.find("\"ManifestDate\": " + std::to_string(kNew)), std::string::npos) << result;
  EXPECT_NE(result.find("\"Planned\": [\n    \"Fetch: app.txt\"\n  ]"), std::string::npos)
      << result;
  EXPECT_NE(result.find("\"BytesToFetch\": 7,"), std::string::npos) << result;
  EXPECT_NE(result.find("\"Changed\": [],"), std::string::npos) << result;

  // Applied, the next check finds nothing to do.
  EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
  EXPECT_EQ(install_.Read("app.txt"), "new app");
  EXPECT_EQ(Run({"--check"}, &out), 0) << out;
  EXPECT_NE(install_.Read("Quasto\\Quastorell.result").find("\"StatusWord\": \"nothing-to-do\""),
            std::string::npos);
}

// The result file after an unattended run says what was changed, deleted and
// why something failed, the bytes fetched, and every message with its text.
TEST_F(ConsoleClientTest, TheResultFileSaysWhatTheRunDid) {
  install_.Write("app.txt", "old");
  fs::SetFileDate(install_ / "app.txt", kOld);
  install_.Write("gone.txt", "x");
  Publish("", "app.txt", "new app");
  Publish("", "bad.txt", "damaged on the way");
  manifest_["bad.txt"].CRC ^= 1;
  manifest_["gone.txt"].Name = "gone.txt";
  manifest_["gone.txt"].Type = "F";
  manifest_["gone.txt"].Flags = kFlagDelete;
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 1) << out;
  const std::string result = install_.Read("Quasto\\Quastorell.result");
  EXPECT_NE(result.find("\"Status\": 1,\n  \"StatusWord\": \"failed\""), std::string::npos)
      << result;
  EXPECT_NE(result.find("\"Changed\": [\n    \"app.txt\"\n  ]"), std::string::npos) << result;
  EXPECT_NE(result.find("\"Deleted\": [\n    \"gone.txt\"\n  ]"), std::string::npos) << result;
  EXPECT_NE(result.find("\"File\": \"bad.txt\",\n      \"Reason\": \"\xC3\x9C" "bertragungsfehler "
                        "beim Download\""),
            std::string::npos)
      << result;
  EXPECT_NE(result.find("\"SignatureChecked\": false"), std::string::npos) << result;
  EXPECT_EQ(result.find("\"BytesFetched\": 0,"), std::string::npos) << result;
  EXPECT_NE(result.find("\"Milliseconds\": "), std::string::npos) << result;
  EXPECT_NE(result.find("\"Kind\": \"warning\",\n      \"Text\": \"\xC3\x9C" "bertragungsfehler "
                        "beim Download: bad.txt\""),
            std::string::npos)
      << "a message box's line breaks become blanks: " << result;
  // No one saw the message: the log has it too.
  EXPECT_NE(install_.Read("Quasto\\Quastorell.log")
                .find("-> Message (warning): \xC3\x9C" "bertragungsfehler beim Download: "
                      "bad.txt\n"),
            std::string::npos)
      << install_.Read("Quasto\\Quastorell.log");
}

// A failure that shows no message is still named: a folder that cannot be
// made (a file holds its name) fails the run, and the result says which.
TEST_F(ConsoleClientTest, TheResultFileNamesAFolderThatCouldNotBeMade) {
  install_.Write("cache", "a file where the folder belongs");
  Publish("", "app.txt", "new app");
  UpdFileStructure& dir = manifest_["cache\\"];
  dir.Path = "cache\\";
  dir.Type = "D";
  dir.Flags = kFlagIfNotExist;
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 1) << out;
  EXPECT_EQ(install_.Read("app.txt"), "new app");
  const std::string result = install_.Read("Quasto\\Quastorell.result");
  EXPECT_NE(result.find("\"StatusWord\": \"failed\""), std::string::npos) << result;
  EXPECT_NE(result.find("\"Failed\": [\n    {\n      \"File\": \"cache\\\\\",\n      \"Reason\": "
                        "\"Datei konnte nicht aktualisiert werden\""),
            std::string::npos)
      << result;
}

// A result that cannot be written (a full disk) leaves none behind: the
// last run's, left in place, would be read as this run's.
TEST_F(ConsoleClientTest, AResultThatCannotBeWrittenLeavesNoEarlierOne) {
  InstallOldAppAndPublishNew();
  std::string out;
  ASSERT_EQ(Run({"--unattended"}, &out), 0) << out;
  ASSERT_NE(install_.Read("Quasto\\Quastorell.result").find("\"updated\""), std::string::npos);
  fs::RemoveFile(site_ / "Quastorell.uif");
  signal(SIGXFSZ, SIG_IGN);
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  rlimit small = before;
  small.rlim_cur = 100;  // less than any result document
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int status = Run({"--unattended"}, &out);
  setrlimit(RLIMIT_FSIZE, &before);
  EXPECT_EQ(status, 2) << out;
  EXPECT_EQ(FileExists(install_ / "Quasto\\Quastorell.result"), 0)
      << install_.Read("Quasto\\Quastorell.result");
}

TEST_F(ConsoleClientTest, ARefusedSignatureAndAWrongOptionHaveTheirOwnStatus) {
  // Signed, but not with the key the installation trusts.
  PublicKey pub, trusted;
  SecretKey secret, other;
  GenerateKeyPair(&pub, &secret);
  GenerateKeyPair(&trusted, &other);
  install_.Write("Quasto\\Quastorell.pub", PublicKeyFileText(trusted));
  install_.Write("app.txt", "old");
  PublishSignedApp(secret);
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 7) << out;
  EXPECT_EQ(Run({"--check"}, &out), 7) << out;
  EXPECT_EQ(install_.Read("app.txt"), "old");
  const std::string result = install_.Read("Quasto\\Quastorell.result");
  EXPECT_NE(result.find("\"StatusWord\": \"refused-manifest\""), std::string::npos) << result;
  EXPECT_NE(result.find("\"SignatureChecked\": false"), std::string::npos) << result;

  EXPECT_EQ(Run({"--unattended", "--wait-seconds", "soon"}, &out), 9) << out;
  EXPECT_NE(out.find("--wait-seconds needs a number of seconds from 0 to 86400"),
            std::string::npos)
      << out;
  EXPECT_NE(install_.Read("Quasto\\Quastorell.result").find("\"StatusWord\": \"usage\""),
            std::string::npos);
  EXPECT_EQ(install_.Read("app.txt"), "old");
}

// The program holds its mutex: an unattended run waits for it up to
// --wait-seconds, never ends it, and changes nothing when it does not quit.
TEST_F(ConsoleClientTest, AHeldMutexIsWaitedForAndThenGivesItsOwnStatus) {
  UpdaterStructure config;
  config.ProgInfo = "Tool 2.0";
  config.URL = server_.http_url();
  config.Mutex = "QuastoTestMutex" + std::to_string(getpid());
  SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  InstallOldAppAndPublishNew();
  auto program = client::NewClientSystem();
  ASSERT_EQ(program->CreateNamedMutex(config.Mutex), client::ClientSystem::MutexResult::kCreated);
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 8) << out;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run({"--unattended", "--wait-seconds", "1"}, &out), 8) << out;
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(install_.Read("app.txt"), "old");
  EXPECT_NE(install_.Read("Quasto\\Quastorell.result").find("\"StatusWord\": \"program-running\""),
            std::string::npos);
  // A check does not care: it changes nothing anyway.
  EXPECT_EQ(Run({"--check"}, &out), 6) << out;

  // Ctrl+C ends the wait at once, as a cancel.
  const int cancelled = testing::StartChild(
      {install_ / "quastorell", "--unattended", "--wait-seconds", "30"}, {"LC_ALL=C"});
  ASSERT_GT(cancelled, 0);
  usleep(500000);
  kill(cancelled, SIGINT);
  const auto sent = std::chrono::steady_clock::now();
  int status = 0;
  while (waitpid(cancelled, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(2));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);

  // The program ends while the run waits.
  const int run = testing::StartChild(
      {install_ / "quastorell", "--unattended", "--wait-seconds", "30"}, {"LC_ALL=C"});
  ASSERT_GT(run, 0);
  usleep(600000);
  EXPECT_EQ(install_.Read("app.txt"), "old");
  program->ReleaseMutex();
  while (waitpid(run, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(install_.Read("app.txt"), "new app");
}

// A byte changed where the hash cache cannot see it: a normal run trusts the
// cache, --repair hashes the file anew and puts the release's back.
TEST_F(ConsoleClientTest, RepairReplacesAFileDamagedBehindTheCachesBack) {
  install_.Write("app.txt", "old");
  install_.Write("keep.txt", "mine");
  client::PublishHashed(site_, &manifest_, "", "app.txt", "new app", kNew);
  client::PublishHashed(site_, &manifest_, "", "keep.txt", "template", kNew, kFlagIfNotExist);
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  std::string out;
  ASSERT_EQ(Run({"--unattended"}, &out), 0) << out;
  ASSERT_EQ(install_.Read("app.txt"), "new app");
  // Damaged, and the cache told that it is still the release's content.
  install_.Write("app.txt", "new apq");
  fs::SetFileDate(install_ / "app.txt", kNew);
  {
    // The client's own root, as the cache's first line names it.
    const std::string text = install_.Read("Quasto\\Quastorell.hash");
    const size_t tab = text.find('\t'), nl = text.find('\n');
    ASSERT_LT(tab, nl);
    HashCache cache(install_ / "Quasto\\Quastorell.hash", text.substr(tab + 1, nl - tab - 1));
    cache.Load();
    cache.Record("app.txt", manifest_["app.txt"].SHA256, fs::ClockNowNs());
    cache.Save();
  }
  EXPECT_EQ(Run({"--check"}, &out), 0) << "the cache is believed: " << out;
  EXPECT_EQ(Run({"--check", "--repair"}, &out), 9) << out;
  // Asked, a repair lists the file and may be declined like an update.
  out.clear();
  EXPECT_EQ(Run({"--repair"}, &out, "n\n"), 3) << out;
  EXPECT_NE(out.find("app.txt (0 KB)"), std::string::npos) << out;
  EXPECT_EQ(install_.Read("app.txt"), "new apq");
  EXPECT_EQ(Run({"--repair", "--unattended"}, &out), 0) << out;
  EXPECT_EQ(install_.Read("app.txt"), "new app");
  EXPECT_EQ(install_.Read("keep.txt"), "mine") << "created once, never repaired";
  const std::string result = install_.Read("Quasto\\Quastorell.result");
  EXPECT_NE(result.find("\"Mode\": \"unattended+repair\""), std::string::npos) << result;
  EXPECT_NE(result.find("\"Changed\": [\n    \"app.txt\"\n  ]"), std::string::npos) << result;
  // Through the journal, like any update: none is left behind.
  EXPECT_EQ(FileExists(install_ / "Quasto\\Quastorell.journal"), 0);
  EXPECT_EQ(Run({"--check"}, &out), 0) << out;
}

TEST_F(ConsoleClientTest, RestartsTheProgramWithItsArgument) {
  install_.Write("prog.sh", "#!/bin/sh\necho \"$1\" > restarted.txt\n");
  chmod((install_ / "prog.sh").c_str(), 0755);
  UpdaterStructure config;
  config.URL = server_.http_url();
  config.ProgExe = "prog.sh";
  config.Restart = 1;
  SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  Publish("", "x.txt", "x");
  std::string out;
  EXPECT_EQ(Run({"--unattended", "--after-update"}, &out), 0) << out;
  for (int i = 0; i < 100 && FileExists(install_ / "restarted.txt") == 0; ++i) usleep(20000);
  EXPECT_EQ(install_.Read("restarted.txt"), "--after-update\n");
}

// A Windows program, or a script without its execute bit, is not handed to
// /bin/sh: the client says why it did not restart it.
TEST_F(ConsoleClientTest, RestartsOnlyAnExecutableFile) {
  install_.Write("prog.exe", "MZ\nexit 0\ntouch ran-by-shell.txt\n");
  chmod((install_ / "prog.exe").c_str(), 0644);
  UpdaterStructure config;
  config.URL = server_.http_url();
  config.ProgExe = "prog.exe";
  config.Restart = 1;
  SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  Publish("", "x.txt", "x");
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
  EXPECT_NE(out.find("  " + (install_ / "prog.exe") +
                     " was not restarted: it is not an executable file\n"),
            std::string::npos)
      << out;
  usleep(200000);
  EXPECT_EQ(FileExists(install_ / "ran-by-shell.txt"), 0);
}

// A manifest that deletes the client's configuration, texts and executable
// and replaces its configuration with one that restarts a program outside:
// the run changes none of them, and the next run works as before.
TEST_F(ConsoleClientTest, AManifestCannotDisableOrRedirectTheClient) {
  const std::string ucf = install_.Read("Quasto\\Quastorell.ucf");
  install_.Write("Quasto\\Quastorell.lng", "<Quastorell/>");
  TempDir outside;
  outside.Write("outside.sh", "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran.txt\"\n");
  chmod((outside / "outside.sh").c_str(), 0755);
  UpdaterStructure evil;
  evil.URL = "http://127.0.0.1:1/";
  evil.ProgExe = "../" + FilePart(outside.path().substr(0, outside.path().size() - 1)) +
                 "/outside.sh";
  evil.Restart = 1;
  ASSERT_TRUE(SaveDocument(site_ / "evil.ucf", evil));
  std::string evil_ucf = site_.Read("evil.ucf");
  client::PublishFile(site_, &manifest_, "Quasto\\", "Quastorell.ucf", evil_ucf, kNew);
  for (const char* rel : {"Quasto\\Quastorell.lng", "quastorell"}) {
    UpdFileStructure& e = manifest_[std::string(rel) + "#delete"];
    e.Path = FolderPart(rel);
    e.Name = FilePart(rel);
    e.Type = "F";
    e.Flags = kFlagDelete;
  }
  Publish("", "app.txt", "new app");
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
  EXPECT_EQ(install_.Read("app.txt"), "new app");
  EXPECT_EQ(install_.Read("Quasto\\Quastorell.ucf"), ucf);
  EXPECT_EQ(install_.Read("Quasto\\Quastorell.lng"), "<Quastorell/>");
  EXPECT_EQ(FileExists(install_ / "quastorell"), 1);
  const std::string log = install_.Read("Quasto\\Quastorell.log");
  EXPECT_NE(log.find("-> Update Error: Quasto\\Quastorell.ucf (it would change one of the "
                     "client's own files)\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("-> Update Error: quastorell (it would change one of the client's own "
                     "files)\n"),
            std::string::npos)
      << log;

  out.clear();
  EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
  EXPECT_NE(out.find("Keine Aktualisierung erforderlich."), std::string::npos) << out;
  usleep(200000);
  EXPECT_EQ(FileExists(outside / "ran.txt"), 0);
}

// Names from the manifest reach the terminal and the log only escaped: this
// one would set the terminal's title, clear the screen and fake a result.
TEST_F(ConsoleClientTest, NamesCannotSendTerminalEscapes) {
  const std::string evil = "x\x1B]0;owned\x07\x1B[2J\x1B[HUpdate complete.\xC2\x9B" "31m.txt";
  UpdFileStructure& e = manifest_[evil];
  e.Name = evil;
  e.Type = "F";
  e.Pack = "x";
  Publish("", "app.txt", "new app");
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
  EXPECT_EQ(install_.Read("app.txt"), "new app");
  for (char c : {'\x1B', '\x07'}) EXPECT_EQ(out.find(c), std::string::npos) << out;
  EXPECT_EQ(out.find("\xC2\x9B"), std::string::npos) << out;
  EXPECT_NE(out.find("x\\x1B]0;owned\\x07\\x1B[2J\\x1B[HUpdate complete.\\xC2\\x9B" "31m.txt"),
            std::string::npos)
      << out;
  const std::string log = install_.Read("Quasto\\Quastorell.log");
  EXPECT_EQ(log.find('\x1B'), std::string::npos) << log;
  EXPECT_NE(log.find("-> Update Error: x\\x1B]0;owned"), std::string::npos) << log;
}

// Windows refuses to replace or delete a file a running program holds, but
// lets it be renamed. strace makes the calls fail that way here: "busy".
TEST_F(ConsoleClientTest, FilesInUseAreMovedAsideAndTheirOldVersionsDeletedLater) {
  install_.Write("lib\\held.dll", "old held");
  fs::SetFileDate(install_ / "lib\\held.dll", kOld);
  Publish("lib\\", "held.dll", "new held");
  Publish("", "other.txt", "other");
  // strace's -P matches renameat by either name, rename and unlink by their
  // first: the staged file's move over the target fails, and every deletion
  // of the old version.
  const std::string held = fs::NativePath(install_ / "lib\\held.dll");
  std::string out;
  EXPECT_EQ(testing::RunProgram({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P",
                                 held, "-P", held + ".bak", "-e", "trace=renameat,rename,unlink",
                                 "-e", "inject=renameat:error=EBUSY:when=1", "-e",
                                 "inject=unlink:error=EBUSY", install_ / "quastorell",
                                 "--unattended"},
                                &out, "", {"LC_ALL=C", "ASAN_OPTIONS=detect_leaks=0"}),
            0)
      << out;
  EXPECT_EQ(install_.Read("lib\\held.dll"), "new held");
  EXPECT_EQ(install_.Read("other.txt"), "other");
  // The old version is still held: the journal keeps it for a later start.
  EXPECT_EQ(install_.Read("lib\\held.dll.bak"), "old held");
  EXPECT_NE(install_.Read("Quasto\\Quastorell.journal").find("drop\tlib\\held.dll.bak\n"),
            std::string::npos);
  EXPECT_NE(install_.Read("Quasto\\Quastorell.log").find("-> held.dll (0 KB)\n"),
            std::string::npos);

  out.clear();
  EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
  EXPECT_NE(out.find("Keine Aktualisierung erforderlich."), std::string::npos) << out;
  EXPECT_EQ(FileExists(install_ / "lib\\held.dll.bak"), 0);
  EXPECT_EQ(FileExists(install_ / "Quasto\\Quastorell.journal"), 0);

  // A file to delete that is held steps aside and goes.
  install_.Write("gone.txt", "held too");
  UpdFileStructure& gone = manifest_["gone.txt"];
  gone.Name = "gone.txt";
  gone.Type = "F";
  gone.Flags = kFlagDelete;
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  out.clear();
  EXPECT_EQ(testing::RunProgram({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P",
                                 fs::NativePath(install_ / "gone.txt"), "-e", "trace=unlink",
                                 "-e", "inject=unlink:error=EBUSY:when=1",
                                 install_ / "quastorell", "--unattended"},
                                &out, "", {"LC_ALL=C", "ASAN_OPTIONS=detect_leaks=0"}),
            0)
      << out;
  EXPECT_EQ(FileExists(install_ / "gone.txt"), 0);
  EXPECT_EQ(FileExists(install_ / "gone.txt.bak"), 0);
  EXPECT_NE(install_.Read("Quasto\\Quastorell.log").find("-> Delete: gone.txt\n"),
            std::string::npos);
}

// A download that fails leaves its temporary, and here no deletion works
// (strace makes every unlink "busy"): the journal keeps it, and the next
// start removes it.
TEST_F(ConsoleClientTest, ATemporaryThatCannotBeRemovedGoesAtTheNextStart) {
  install_.Write("data.bin", "old");
  fs::SetFileDate(install_ / "data.bin", kOld);
  Publish("", "data.bin", std::string(20000, 'D'));
  manifest_["data.bin"].CRC ^= 1;
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  auto temporaries = [&] {
    std::vector<fs::DirEntry> entries;
    fs::ListDirectory(install_.path(), &entries);
    int n = 0;
    for (const auto& e : entries) n += e.name.find(".~q") != std::string::npos;
    return n;
  };
  std::string out;
  EXPECT_EQ(testing::RunProgram({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                 "trace=unlink", "-e", "inject=unlink:error=EBUSY",
                                 install_ / "quastorell", "--unattended"},
                                &out, "", {"LC_ALL=C", "ASAN_OPTIONS=detect_leaks=0"}),
            1)
      << out;
  // Unpacked as it arrived: the packed download and the unpacked file.
  EXPECT_EQ(temporaries(), 2);
  EXPECT_NE(install_.Read("Quasto\\Quastorell.journal").find("\ntemp\tdata.bin."),
            std::string::npos);

  out.clear();
  fs::RemoveFile(site_ / "Quastorell.uif");  // the start needs no server to tidy up
  EXPECT_EQ(Run({"--unattended"}, &out), 2) << out;
  EXPECT_EQ(temporaries(), 0);
  EXPECT_EQ(install_.Read("data.bin"), "old");
  EXPECT_EQ(FileExists(install_ / "Quasto\\Quastorell.journal"), 0);
}

// A second run while the first is staging: it says so and ends, touching
// nothing, not even the first run's journal, whatever the configuration's
// mutex says (here there is none).
TEST_F(ConsoleClientTest, ASecondRunFindsTheInstallationLockedAndEnds) {
  UpdaterStructure config;
  config.ProgInfo = "Tool 2.0";
  config.URL = server_.http_url() + "slow/";
  SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  std::vector<std::string> contents(6);
  for (int i = 0; i < 6; ++i) {
    std::string& content = contents[i];
    for (int k = 0; content.size() < 200000; ++k) content += std::to_string(i * 7919 + k) + ",";
    const std::string name = "f" + std::to_string(i) + ".bin";
    client::PublishFile(site_, &manifest_, "", name, content, kNew);
  }
  // The slow path serves the site's files in pieces with pauses.
  SaveDocument(site_ / "Quastorell.uif", manifest_);
  const std::string journal = install_ / "Quasto\\Quastorell.journal";

  const int first = testing::StartChild({install_ / "quastorell", "--unattended"}, {"LC_ALL=C"});
  ASSERT_GT(first, 0);
  for (int i = 0; i < 500 && install_.Read("Quasto\\Quastorell.journal").find("\nstage\n") ==
                                  std::string::npos;
       ++i) {
    usleep(10000);
  }
  const std::string staging = install_.Read("Quasto\\Quastorell.journal");
  ASSERT_NE(staging.find("\nstage\n"), std::string::npos) << "the first run is staging";
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 4) << out;
  EXPECT_NE(out.find("[info] Tool 2.0:\n  Es l\xC3\xA4uft bereits eine Aktualisierung.\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Lade Update-Informationen"), std::string::npos) << out;
  EXPECT_EQ(install_.Read("Quasto\\Quastorell.journal"), staging) << "left to its run";

  int status = 0;
  while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int i = 0; i < 6; ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    EXPECT_TRUE(install_.Read(name) == contents[i]) << name;
  }
  EXPECT_EQ(FileExists(journal), 0);
}

// Kills the client at several moments of an update: every installed file must
// be its old or its new version, never missing, never half-written.
TEST_F(ConsoleClientTest, KilledMidUpdateLeavesOldOrNewFiles) {
  const int kFiles = 5;
  auto old_content = [](int i) { return "old " + std::to_string(i); };
  auto new_content = [](int i) {
    std::string s;
    for (int k = 0; s.size() < 300000; ++k) s += std::to_string(i * 7919 + k) + ",";
    return s;
  };
  for (int i = 0; i < kFiles; ++i) Publish("d\\", "f" + std::to_string(i) + ".dat", new_content(i));
  // The slow path serves each file in pieces with pauses.
  UpdaterStructure config;
  config.URL = server_.http_url() + "slow/";
  SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  SaveDocument(site_ / "slow\\Quastorell.uif", manifest_);
  for (const auto& [key, e] : manifest_) {
    std::string packed = site_.Read(e.Pack);
    site_.Write("slow\\" + e.Pack, packed);
  }

  for (int delay_ms : {100, 600, 1100, 1700}) {
    for (int i = 0; i < kFiles; ++i) {
      const std::string rel = "d\\f" + std::to_string(i) + ".dat";
      install_.Write(rel, old_content(i));
      fs::SetFileDate(install_ / rel, kOld);
    }
    int pid = testing::StartChild({install_ / "quastorell", "--unattended"}, {"LC_ALL=C"});
    ASSERT_GT(pid, 0);
    usleep(delay_ms * 1000);
    testing::KillChild(pid);
    int fresh = 0;
    for (int i = 0; i < kFiles; ++i) {
      const std::string got = install_.Read("d\\f" + std::to_string(i) + ".dat");
      const bool is_old = got == old_content(i), is_new = got == new_content(i);
      EXPECT_TRUE(is_old || is_new) << "file " << i << " after " << delay_ms << " ms: "
                                    << got.size() << " bytes";
      if (is_new) ++fresh;
    }
    // The next run finishes the job and tidies what the killed one left.
    std::string out;
    EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
    std::vector<fs::DirEntry> entries;
    fs::ListDirectory(install_ / "d", &entries);
    EXPECT_EQ(entries.size(), static_cast<size_t>(kFiles)) << "after " << delay_ms << " ms";
    for (int i = 0; i < kFiles; ++i) {
      EXPECT_EQ(install_.Read("d\\f" + std::to_string(i) + ".dat"), new_content(i));
    }
    RecordProperty("fresh_after_" + std::to_string(delay_ms), fresh);
  }
}

}  // namespace
}  // namespace quasto

namespace quasto::client {
namespace {

// Manifests that would take all memory, announced or endless, and a redirect
// to itself: each ends soon as a wrong address, in bounded memory.
TEST_F(ConsoleClientTest, EndlessManifestsAndRedirectLoopsEndAsWrongAddresses) {
  Publish("", "app.txt", "new app");
  install_.Write("app.txt", "old");
  struct Case {
    const char* prefix;
    const char* detail;
  } cases[] = {{"huge/", "  The manifest is larger than 67108864 bytes\n"},
               {"endless/", "  The manifest is larger than 67108864 bytes\n"},
               {"loop/", ""}};
  for (const Case& c : cases) {
    UpdaterStructure config;
    config.ProgInfo = "Tool 2.0";
    config.URL = server_.http_url() + c.prefix;
    SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
    std::string out;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run({"--unattended"}, &out), 2) << c.prefix << out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << c.prefix;
    EXPECT_NE(out.find("Ung\xC3\xBCltige Internetadresse (URL)."), std::string::npos) << out;
    if (*c.detail) {
      EXPECT_NE(out.find(c.detail), std::string::npos) << out;
    }
    EXPECT_EQ(install_.Read("app.txt"), "old");
  }
  // The largest of the client runs so far (sanitizers included): the cap
  // and what collecting up to it costs, far from the gigabytes of an
  // endless body.
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  EXPECT_LT(usage.ru_maxrss, 512 * 1024) << "KiB";
}

// Ctrl+C and SIGTERM cancel a run, against a server that has gone silent
// half-way through a file (the transfer cannot end by itself for a minute):
// the client ends within a second with status 5, nothing installed changed,
// no temporary left, and the log says so. The next run updates as usual.
class ConsoleCancelTest : public ConsoleClientTest {
 protected:
  // Ctrl+C half a second into the run: it ends as cancelled within a
  // second, app.txt untouched.
  void ExpectCancelledWithinASecondOfAnInterrupt() {
    const auto start = std::chrono::steady_clock::now();
    double seconds = 0;
    EXPECT_EQ(CancelWhen(
                  SIGINT,
                  [&] {
                    return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(500);
                  },
                  &seconds),
              5);
    EXPECT_LT(seconds, 1.0);
    EXPECT_EQ(install_.Read("app.txt"), "old");
  }

  // Sends `signal` once `ready` holds (or after 10 s); returns the exit
  // status and how long the client took after the signal.
  int CancelWhen(int signal, const std::function<bool()>& ready, double* seconds) {
    const int pid = testing::StartChild({install_ / "quastorell", "--unattended"}, {"LC_ALL=C"});
    EXPECT_GT(pid, 0);
    for (int i = 0; i < 1000 && !ready(); ++i) usleep(10000);
    const auto sent = std::chrono::steady_clock::now();
    kill(pid, signal);
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
      const int rc = waitpid(pid, &status, WNOHANG);
      if (rc == pid) break;
      usleep(5000);
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    if (!WIFEXITED(status)) {
      testing::KillChild(pid);
      return -1;
    }
    return WEXITSTATUS(status);
  }
  std::vector<std::string> Temporaries() {
    std::vector<std::string> found;
    std::vector<fs::DirEntry> entries;
    for (const std::string& folder : {std::string(), std::string("d\\")}) {
      fs::ListDirectory(install_ / folder, &entries);
      for (const auto& e : entries) {
        if (e.name.find(".~q") != std::string::npos) found.push_back(folder + e.name);
      }
    }
    fs::ListDirectory(install_ / "Quasto", &entries);
    for (const auto& e : entries) {
      if (e.name.find("journal") != std::string::npos) found.push_back(e.name);
    }
    return found;
  }
};

TEST_F(ConsoleCancelTest, DuringTheStagingNothingChangesAndTheNextRunUpdates) {
  for (int i = 0; i < 3; ++i) {
    const std::string name = "f" + std::to_string(i) + ".dat";
    install_.Write("d\\" + name, "old " + name);
    fs::SetFileDate(install_ / ("d\\" + name), kOld);
    Publish("d\\", name, std::string(200000 + i, static_cast<char>('a' + i)));
  }
  Publish("", "new.txt", "a new file");
  const std::string stalled = manifest_["d\\f1.dat"].Pack;
  for (int signal : {SIGINT, SIGTERM}) {
    ServerProcess silent("http_server.py", {"--root", site_.path(), "--stall", stalled});
    UpdaterStructure config;
    config.URL = silent.http_url();
    SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
    // Half of the stalled file has come.
    auto stalled_half_way = [&] {
      std::vector<fs::DirEntry> entries;
      fs::ListDirectory(install_ / "d", &entries);
      for (const auto& e : entries) {
        if (e.name.rfind("f1.dat.", 0) == 0 && e.name.find(".~qdl") != std::string::npos &&
            fs::FileSize(install_ / ("d\\" + e.name)) > 0) {
          return true;
        }
      }
      return false;
    };
    double seconds = 0;
    EXPECT_EQ(CancelWhen(signal, stalled_half_way, &seconds), 5) << signal;
    EXPECT_LT(seconds, 1.0) << signal;
    RecordProperty(signal == SIGINT ? "sigint_seconds" : "sigterm_seconds", std::to_string(seconds));
    for (int i = 0; i < 3; ++i) {
      const std::string name = "f" + std::to_string(i) + ".dat";
      EXPECT_EQ(install_.Read("d\\" + name), "old " + name) << signal;
    }
    EXPECT_EQ(FileExists(install_ / "new.txt"), 0);
    EXPECT_EQ(Temporaries(), std::vector<std::string>()) << signal;
    const std::string log = install_.Read("Quasto\\Quastorell.log");
    EXPECT_NE(log.find("-> Update cancelled\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Update Error"), std::string::npos) << "a cancel is no file's fault\n" << log;
  }
  UpdaterStructure config;
  config.URL = server_.http_url();
  SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  std::string out;
  EXPECT_EQ(Run({"--unattended"}, &out), 0) << out;
  EXPECT_EQ(install_.Read("d\\f1.dat"), std::string(200001, 'b'));
  EXPECT_EQ(install_.Read("new.txt"), "a new file");
}

TEST_F(ConsoleCancelTest, WhileTheManifestIsBeingFetched) {
  InstallOldAppAndPublishNew();
  // The manifest itself stalls half-way.
  UpdaterStructure config;
  config.URL = server_.http_url() + "stall/";
  SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  site_.Write("stall\\Quastorell.uif", site_.Read("Quastorell.uif"));
  ExpectCancelledWithinASecondOfAnInterrupt();
  EXPECT_NE(install_.Read("Quasto\\Quastorell.log").find("-> Update cancelled\n"),
            std::string::npos);
}

// A cancel while the signature comes is a cancel: never a refused manifest,
// which would say that someone tampered with it.
TEST_F(ConsoleCancelTest, WhileTheSignatureIsBeingFetched) {
  PublicKey pub;
  SecretKey secret;
  GenerateKeyPair(&pub, &secret);
  install_.Write("Quasto\\Quastorell.pub", PublicKeyFileText(pub));
  install_.Write("app.txt", "old");
  PublishSignedApp(secret);
  ServerProcess silent("http_server.py",
                       {"--root", site_.path(), "--stall", "Quastorell.uif.minisig"});
  UpdaterStructure config;
  config.URL = silent.http_url();
  SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  ExpectCancelledWithinASecondOfAnInterrupt();
  const std::string result = install_.Read("Quasto\\Quastorell.result");
  EXPECT_NE(result.find("\"StatusWord\": \"cancelled\""), std::string::npos) << result;
  EXPECT_EQ(result.find("\"Kind\": \"error\""), std::string::npos) << "no message: " << result;
}

}  // namespace
}  // namespace quasto::client
