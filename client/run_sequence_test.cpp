#include "client/run_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "client/recording_view.h"
#include "client/run_report.h"
#include "client/test_site.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/journal.h"
#include "shared/test_util.h"
#include "shared/text.h"

namespace quasto::client {
namespace {

using testing::TempDir;

// A system whose answers the test sets: the states the run sequence reacts
// to (mutex held, program running, no connection) are injected here.
class ScriptedSystem : public ClientSystem {
 public:
  bool StartSockets() override { return sockets; }
  bool IsConnected() override { return connected; }
  MutexResult CreateNamedMutex(const std::string& name) override {
    calls.push_back("mutex " + name);
    return mutex;
  }
  void ReleaseMutex() override { calls.push_back("release"); }
  bool IsProgramRunning(const std::string& exe) override {
    calls.push_back("running? " + exe);
    if (yes_answers >= 0) return yes_answers-- > 0;
    return running;
  }
  bool StartProgram(const std::string& path, const std::string& argument,
                    const std::string& folder, std::string* why_not) override {
    calls.push_back("start " + path + " [" + argument + "] in " + folder);
    if (!read_at_start.empty()) fs::ReadFile(read_at_start, &read_at_start_text);
    if (!start_refusal.empty()) *why_not = start_refusal;
    return start_refusal.empty();
  }
  bool RunProgramAndWait(const std::string&, const std::string&) override { return true; }
  std::string LogEncoding(const std::string& utf8) override { return utf8; }

  bool sockets = true, connected = true, running = false;
  int yes_answers = -1;  // >= 0: the program runs for this many more looks
  std::string start_refusal;
  MutexResult mutex = MutexResult::kCreated;
  std::vector<std::string> calls;
  // A file read as the program is started, as the program would read it.
  std::string read_at_start, read_at_start_text;
};

// No server answers.
class Unreachable : public HttpTransport {
 public:
  bool Get(const std::string& url, uint32_t, int,
           const std::function<void(const HttpResponseInfo&)>&,
           const std::function<bool(std::string_view)>&) override {
    urls.push_back(url);
    return false;
  }
  std::vector<std::string> urls;
};

class RunSequenceTest : public ::testing::Test {
 protected:
  // A commit killed before it placed app.exe: the journal and the staged file.
  void LeaveAKilledCommit() {
    dir_.Write("app.exe", "old");
    dir_.Write("app.exe.0123456789abcdef.~qnew", "new");
    Journal j;
    j.committing = true;
    JournalStep place;
    place.kind = StepKind::kPlace;
    place.path = "app.exe";
    place.staged = "app.exe.0123456789abcdef.~qnew";
    place.aside = "app.exe.bak";
    place.line = "-> app.exe (0 KB)\n";
    j.steps = {place};
    CreateDirectoryTree(dir_ / "Quasto");
    ASSERT_TRUE(SaveJournal(dir_ / "Quasto\\Quastorell.journal", j));
  }

  void Config(const std::string& json) { dir_.Write("Quasto\\Quastorell.ucf", json); }
  ClientOutcome Run(ClientArgs args = {}) {
    return RunClient(args, dir_.path(), &view_, &http_, &system_);
  }
  TempDir dir_;
  RecordingView view_;
  Unreachable http_;
  ScriptedSystem system_;
};

// Whatever a name holds, the result file stays one JSON document in UTF-8.
TEST(ResultJson, NamesAreEscapedAndAlwaysUtf8) {
  RunReport report;
  report.changed = {"a\"b\x01\\c.txt", "gr\xFC\xDF.txt", "gr\xC3\xBC\xC3\x9F.txt"};
  const std::string json = ResultJson(report, 1, "failed", 42);
  EXPECT_TRUE(IsValidUtf8(json));
  EXPECT_NE(json.find(R"("a\"b\u0001\\c.txt")"), std::string::npos) << json;
  EXPECT_NE(json.find("\"gr\xC3\xBC\xC3\x9F.txt\",\n    \"gr\xC3\xBC\xC3\x9F.txt\""),
            std::string::npos)
      << "Latin-1 bytes are read as such: " << json;
  EXPECT_NE(json.find("\"Milliseconds\": 42"), std::string::npos);
  EXPECT_EQ(json.back(), '\n');
}

TEST(LoadConfiguration, UrlAlwaysEndsInSlash) {
  TempDir dir;
  UpdaterStructure c;
  dir.Write("a.ucf", R"({"URL": "http://h/upd", "ProgInfo": "P"})");
  LoadConfiguration(dir / "a.ucf", &c);
  EXPECT_EQ(c.URL, "http://h/upd/");
  EXPECT_EQ(c.ProgInfo, "P");

  UpdaterStructure d;
  dir.Write("b.ucf", R"({"URL": "http://h/upd/"})");
  LoadConfiguration(dir / "b.ucf", &d);
  EXPECT_EQ(d.URL, "http://h/upd/");

  UpdaterStructure e;
  dir.Write("c.ucf", R"({"ProgInfo": "no url"})");
  LoadConfiguration(dir / "c.ucf", &e);
  EXPECT_EQ(e.URL, "/");

  UpdaterStructure f;
  LoadConfiguration(dir / "missing.ucf", &f);
  EXPECT_EQ(f.URL, "/");
  EXPECT_EQ(f.ProgInfo, "");
}

TEST_F(RunSequenceTest, HeldMutexEndsEverythingWithoutRestart) {
  Config(R"({"ProgInfo": "Tool 1.0", "ProgExe": "tool.exe", "Restart": 1, "Mutex": "ToolMutex",
             "URL": "http://127.0.0.1:9/"})");
  dir_.Write("tool.exe", "x");
  system_.mutex = ClientSystem::MutexResult::kAlreadyExists;
  EXPECT_EQ(Run(), ClientOutcome::kProgramRunning);
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].title, " Tool 1.0");
  EXPECT_EQ(view_.messages[0].text,
            "Sie m\xC3\xBCssen das Programm vor dem Update schlie\xC3\x9F" "en.  ");
  EXPECT_EQ(view_.messages[0].icon, kIconError);
  EXPECT_FALSE(view_.opened);
  EXPECT_TRUE(http_.urls.empty());
  // The mutex check replaces the process check; nothing is restarted.
  EXPECT_EQ(system_.calls, (std::vector<std::string>{"mutex ToolMutex", "release"}));
}

TEST_F(RunSequenceTest, RunningProgramWarnsThenUpdatesAndRestarts) {
  Config(R"({"ProgInfo": "Tool", "ProgExe": "bin\\tool.exe", "Restart": 1,
             "URL": "http://127.0.0.1:9/upd"})");
  dir_.Write("bin\\tool.exe", "x");
  system_.running = true;
  EXPECT_EQ(Run({"-fresh", ""}), ClientOutcome::kNoManifest);
  ASSERT_EQ(view_.messages.size(), 2u);
  EXPECT_EQ(view_.messages[0].text, "Das Programm muss vor dem Update beendet werden.  ");
  EXPECT_EQ(view_.messages[0].icon, kIconError);
  // The manifest is then fetched and fails with the URL message.
  EXPECT_EQ(http_.urls, (std::vector<std::string>{"http://127.0.0.1:9/upd/Quastorell.uif"}));
  EXPECT_EQ(view_.messages[1].title, " Tool");
  EXPECT_EQ(view_.messages[1].text,
            "Ung\xC3\xBCltige Internetadresse (URL).\n\xC3\x9C" "berpr\xC3\xBC"
            "fen Sie 'Quastorel.ucf'!  ");
  EXPECT_TRUE(view_.closed);
  EXPECT_EQ(system_.calls.back(),
            "start " + (dir_ / "bin\\tool.exe") + " [-fresh] in " + dir_.path());
}

// No one would see the files the program holds fail one by one: an
// unattended run waits for the program, and ends without a change when it
// keeps running. Its message goes to the log and the result file.
TEST_F(RunSequenceTest, UnattendedWaitsForTheProgramAndNeverUpdatesUnderIt) {
  Config(R"({"ProgInfo": "Tool", "ProgExe": "tool.exe", "Restart": 1,
             "URL": "http://127.0.0.1:9/upd"})");
  dir_.Write("tool.exe", "x");
  system_.running = true;
  ClientArgs args;
  args.unattended = true;
  EXPECT_EQ(Run(args), ClientOutcome::kProgramRunning);
  EXPECT_TRUE(http_.urls.empty());
  EXPECT_EQ(system_.calls, (std::vector<std::string>{"running? tool.exe"})) << "no restart";
  EXPECT_NE(dir_.Read("Quasto\\Quastorell.log")
                .find("-> Message (error): Das Programm muss vor dem Update beendet werden.\n"),
            std::string::npos);
  const std::string result = dir_.Read("Quasto\\Quastorell.result");
  EXPECT_NE(result.find("\"Status\": 8,\n  \"StatusWord\": \"program-running\""),
            std::string::npos)
      << result;
  EXPECT_NE(result.find("\"Text\": \"Das Programm muss vor dem Update beendet werden.\""),
            std::string::npos)
      << result;

  // It ends while the run waits: the run goes on.
  system_.calls.clear();
  system_.yes_answers = 2;
  args.wait_seconds = 10;
  EXPECT_EQ(Run(args), ClientOutcome::kNoManifest);
  EXPECT_EQ(std::count(system_.calls.begin(), system_.calls.end(), "running? tool.exe"), 3);
  EXPECT_EQ(http_.urls.size(), 1u);
}

// The restarted program may at once read how the run ended: the result is
// written before it starts, never an earlier run's found in its place.
TEST_F(RunSequenceTest, TheResultIsWrittenBeforeTheProgramIsRestarted) {
  Config(R"({"ProgInfo": "Tool", "ProgExe": "tool.exe", "Restart": 1,
             "URL": "http://127.0.0.1:9/upd"})");
  dir_.Write("tool.exe", "x");
  dir_.Write("Quasto\\Quastorell.result", "an earlier run's result");
  system_.read_at_start = dir_ / "Quasto\\Quastorell.result";
  ClientArgs args;
  args.unattended = true;
  EXPECT_EQ(Run(args), ClientOutcome::kNoManifest);
  ASSERT_EQ(system_.calls.back().rfind("start ", 0), 0u);
  EXPECT_NE(system_.read_at_start_text.find("\"StatusWord\": \"no-manifest\""),
            std::string::npos)
      << system_.read_at_start_text;
}

TEST_F(RunSequenceTest, NoConnectionNoSocketsAndRestartRules) {
  Config(R"({"ProgInfo": "T", "ProgExe": "tool.exe", "Restart": 1})");
  dir_.Write("tool.exe", "x");
  system_.connected = false;
  EXPECT_EQ(Run(), ClientOutcome::kNoManifest);
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].icon, kIconInformation);
  EXPECT_EQ(view_.messages[0].text,
            "Keine Internetverbindung verf\xC3\xBCgbar.\nAktualisierung wird abgebrochen.  ");
  EXPECT_FALSE(view_.opened);
  // The restart still happens, in the base folder.
  EXPECT_EQ(system_.calls.back(), "start " + (dir_ / "tool.exe") + " [] in " + dir_.path());
}

TEST_F(RunSequenceTest, ProgramFolderGetsItsSeparator) {
  Config(R"({"ProgExe": "tool.exe", "Restart": 1})");
  CreateDirectoryTree(dir_ / "prog");
  dir_.Write("prog\\tool.exe", "x");
  system_.sockets = false;  // no update run, no message
  Run({"", dir_ / "prog"});
  EXPECT_TRUE(view_.messages.empty());
  EXPECT_EQ(system_.calls.back(),
            "start " + (dir_ / "prog\\tool.exe") + " [] in " + (dir_ / "prog\\"));
}

TEST_F(RunSequenceTest, RefusedRestartIsExplainedAsADetail) {
  Config(R"({"ProgExe": "tool.exe", "Restart": 1})");
  dir_.Write("tool.exe", "x");
  system_.sockets = false;
  system_.start_refusal = "it is not an executable file";
  Run();
  EXPECT_TRUE(view_.messages.empty());
  EXPECT_EQ(view_.details, (std::vector<std::string>{
                               (dir_ / "tool.exe") + " was not restarted: it is not an executable file"}));
}

// Before the configuration is even read, and with no server to reach.
TEST_F(RunSequenceTest, KilledCommitIsCompletedFirstAndLogged) {
  LeaveAKilledCommit();
  EXPECT_EQ(Run(), ClientOutcome::kNoManifest);
  EXPECT_EQ(dir_.Read("app.exe"), "new");
  EXPECT_EQ(FileExists(dir_ / "Quasto\\Quastorell.journal"), 0);
  const std::string log = dir_.Read("Quasto\\Quastorell.log");
  EXPECT_EQ(log.substr(log.find("\r\n")), "\r\n-> app.exe (0 KB)\n-------------------------\n\r\n");
}

// Unattended, the run's messages join the log of the completed commit: the
// only record of what that earlier, killed run put in place is kept.
TEST_F(RunSequenceTest, AnUnattendedRunsMessagesKeepTheCompletedCommitsLog) {
  LeaveAKilledCommit();
  ClientArgs args;
  args.unattended = true;
  EXPECT_EQ(Run(args), ClientOutcome::kNoManifest);
  EXPECT_EQ(dir_.Read("app.exe"), "new");
  const std::string log = dir_.Read("Quasto\\Quastorell.log");
  EXPECT_EQ(log.substr(log.find("\r\n")),
            "\r\n-> Message (error): Ung\xC3\xBCltige Internetadresse (URL). "
            "\xC3\x9C" "berpr\xC3\xBC" "fen Sie 'Quastorel.ucf'!\n"
            "-> app.exe (0 KB)\n-------------------------\n\r\n")
      << log;
}

// The configuration names the program the way a manifest names a file: a
// manifest that could rewrite it must not get a program outside started.
TEST_F(RunSequenceTest, ARestartNeverStartsWhatLiesOutsideTheFolder) {
  dir_.Write("outside.sh", "x");
  dir_.Write("prog\\.." "\xEF\xBC\xBC" "outside.sh", "x");  // U+FF3C, a plain name here
  system_.sockets = false;
  for (const std::string& exe : {std::string("..\\\\outside.sh"),
                                 std::string("..\xEF\xBC\xBC" "outside.sh")}) {
    std::string json = R"({"ProgExe": ")";
    json += exe;
    json += R"(", "Restart": 1})";
    Config(json);
    view_.details.clear();
    Run({"", dir_ / "prog"});
    ASSERT_EQ(view_.details.size(), 1u) << exe;
    EXPECT_NE(view_.details[0].find(" was not restarted: it lies outside the program's folder"),
              std::string::npos);
  }
  for (const auto& call : system_.calls) EXPECT_NE(call.rfind("start", 0), 0u) << call;
}

TEST_F(RunSequenceTest, NoRestartWithoutProgramOrFlagOrFile) {
  system_.sockets = false;
  Config(R"({"ProgExe": "", "Restart": 1})");
  Run();
  Config(R"({"ProgExe": "tool.exe", "Restart": 0})");
  dir_.Write("tool.exe", "x");
  Run();
  EXPECT_TRUE(view_.details.empty());
  Config(R"({"ProgExe": "missing.exe", "Restart": 1})");
  Run();
  Config(R"({"ProgExe": "folder", "Restart": 1})");
  CreateDirectoryTree(dir_ / "folder");
  Run();
  for (const auto& call : system_.calls) EXPECT_NE(call.rfind("start", 0), 0u) << call;
  // A restart that finds nothing is said, for a console to show.
  EXPECT_EQ(view_.details, (std::vector<std::string>{
                               dir_ / "missing.exe" + " was not restarted: there is no such file",
                               dir_ / "folder" + " was not restarted: there is no such file"}));
}

TEST_F(RunSequenceTest, MissingConfigurationStillTriesTheBareAddress) {
  EXPECT_EQ(Run(), ClientOutcome::kNoManifest);
  EXPECT_EQ(http_.urls, (std::vector<std::string>{"/Quastorell.uif"}));
  EXPECT_EQ(view_.log.front(), "open ");
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].title, " ");
}

TEST_F(RunSequenceTest, EnglishLanguageFileChangesTheTexts) {
  dir_.Write("Quasto\\Quastorell.lng",
             "<L><English><ErrorURL>Bad address</ErrorURL></English>"
             "<German><ErrorURL>Falsche Adresse</ErrorURL></German></L>");
  Run();
  ASSERT_EQ(view_.messages.size(), 1u);
  // Which element applies depends on the user's language; either way the
  // file's text replaces the built-in one.
  const std::string& text = view_.messages[0].text;
  EXPECT_TRUE(text == "Bad address  " || text == "Falsche Adresse  ") << text;
}

// Serves a manifest, and sets the cancel flag once the client has it, as a
// close or Ctrl+C would while the entries are being compared.
class CancelAfterManifest : public HttpTransport {
 public:
  CancelAfterManifest(std::string manifest, std::atomic<bool>* cancel)
      : manifest_(std::move(manifest)), cancel_(cancel) {}
  bool Get(const std::string& url, uint32_t, int,
           const std::function<void(const HttpResponseInfo&)>& on_start,
           const std::function<bool(std::string_view)>& on_data) override {
    urls.push_back(url);
    if (cancel_->load()) return false;
    HttpResponseInfo info;
    info.status = 200;
    info.content_length = static_cast<int64_t>(manifest_.size());
    on_start(info);
    const bool ok = on_data(manifest_);
    cancel_->store(true);
    return ok;
  }
  std::vector<std::string> urls;

 private:
  std::string manifest_;
  std::atomic<bool>* cancel_;
};

TEST_F(RunSequenceTest, ACancelDuringTheAnalysisPlansNothingAndChangesNothing) {
  TempDir site;
  Manifest manifest;
  PublishHashed(site, &manifest, "", "a.txt", "new a", 1700000000);
  PublishHashed(site, &manifest, "", "b.txt", "new b", 1700000000);
  Config(R"({"ProgInfo": "Tool 1.0", "URL": "http://127.0.0.1:9/"})");
  dir_.Write("a.txt", "old a");
  std::atomic<bool> cancel{false};
  CancelAfterManifest http(ToJson(manifest), &cancel);
  EXPECT_EQ(RunClient({}, dir_.path(), &view_, &http, &system_, nullptr, &cancel),
            ClientOutcome::kCancelled);
  EXPECT_EQ(http.urls, (std::vector<std::string>{"http://127.0.0.1:9/Quastorell.uif"}));
  EXPECT_EQ(dir_.Read("a.txt"), "old a");
  EXPECT_EQ(FileExists(dir_.path() + "b.txt"), 0);
  EXPECT_TRUE(view_.messages.empty());
  EXPECT_TRUE(view_.closed);
  // Nothing of a plan is shown as if it were to be carried out.
  for (const std::string& line : view_.details) EXPECT_EQ(line.find("a.txt"), std::string::npos);
  EXPECT_NE(dir_.Read("Quasto\\Quastorell.log").find("-> Update cancelled\n"), std::string::npos);
}

}  // namespace
}  // namespace quasto::client
