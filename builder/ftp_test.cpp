// Uploads to a real FTP server on 127.0.0.1 (tests/servers/ftp_server.py),
// which a ctest fixture starts before these tests and stops after them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <map>
#include <sstream>
#include <utility>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "builder/cli.h"
#include "builder/ftp_client.h"
#include "builder/generation.h"
#include "builder/test_env.h"
#include "builder/signing.h"
#include "builder/upload.h"
#include "shared/folders.h"
#include "shared/limits.h"
#include "shared/packed_file.h"

namespace quasto {
namespace {

using testing::BuilderEnv;

struct ServerInfo {
  int port = 0;
  std::string root;        // ends in a separator, as this program sees it
  std::string server_root;  // as the server names it in its log
  std::string log;          // the server's command log, as this program sees it
};

// A path of the host as this program sees it (under Wine, on drive Z:).
std::string HostPath(std::string path) {
  std::string host = QUASTO_HOST_ROOT;
  if (!host.empty()) {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
  }
  return host + path;
}

bool ReadServerInfo(ServerInfo* info) {
  std::string text;
  if (!fs::ReadFile(QUASTO_FTP_INFO, &text)) return false;
  std::istringstream in(text);
  std::string root, pid, log;
  if (!(in >> info->port >> root >> pid >> log)) return false;
  info->server_root = root;
  info->root = WithTrailingSeparator(HostPath(root));
  info->log = HostPath(log);
  return true;
}

// The server's log lines about paths below `server_dir`: "COMMAND name",
// with the name relative to that directory.
std::vector<std::string> ServerLog(const ServerInfo& server, const std::string& server_dir) {
  std::string text;
  fs::ReadFile(server.log, &text);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string path = line.substr(tab + 1);
    if (path.compare(0, server_dir.size(), server_dir) != 0) continue;
    lines.push_back(line.substr(0, tab) + " " + path.substr(server_dir.size()));
  }
  return lines;
}

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

// The upload's verbose dialogue, which goes to standard error, caught in
// `file` from here until Take().
class VerboseDialogue {
 public:
  explicit VerboseDialogue(std::string file) : file_(std::move(file)) {
    std::fflush(stderr);
    saved_ = dup(fileno(stderr));
    caught_ = saved_ >= 0 && std::freopen(fs::NativePath(file_).c_str(), "w", stderr) != nullptr;
    SetVariable("QUASTO_FTP_VERBOSE", "1");
  }
  ~VerboseDialogue() { Take(); }
  bool caught() const { return caught_; }
  // What was written; standard error is itself again.
  std::string Take() {
    SetVariable("QUASTO_FTP_VERBOSE", "");
    if (saved_ < 0) return "";
    std::fflush(stderr);
    dup2(saved_, fileno(stderr));
    close(saved_);
    saved_ = -1;
    std::string text;
    fs::ReadFile(file_, &text);
    return text;
  }

 private:
  std::string file_;
  int saved_ = -1;
  bool caught_ = false;
};

std::string UniqueName(const std::string& prefix) {
  static int counter = 0;
  return prefix + std::to_string(fs::NowDateValue()) + "-" +
         std::to_string(reinterpret_cast<uintptr_t>(&counter) % 9973) + "-" +
         std::to_string(++counter);
}

class Ftp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ReadServerInfo(&server)) {
      GTEST_SKIP() << "no FTP server: run through ctest, whose fixture starts "
                      "tests/servers/ftp_server.py";
    }
    // Each test works in a folder of its own below the server's root.
    start_dir = UniqueName("run-");
    remote = server.root + start_dir + "\\";
    ASSERT_EQ(CreateDirectoryTree(remote + "Demo\\"), 1);
    env.dir.Write("src\\app.exe", std::string(5000, 'A') + "program");
    env.dir.Write("src\\Grüße aus Köln.txt", "Umlaute im Namen");
    env.dir.Write("src\\sub dir\\ä b.dat", "");
    ASSERT_TRUE(env.Create("Demo", true));
    env.st.ftp = {};
    env.st.ftp.Server = "127.0.0.1";
    env.st.ftp.Port = server.port;
    env.st.ftp.StartDir = start_dir;
    env.st.ftp.Login = "quasto";
    env.st.ftp.Password = ScramblePassword("geheim");
    env.st.network_ready = InitNetwork();
    ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 3);
    env.ui.messages.clear();
  }
  void TearDown() override {
    if (!remote.empty()) testing::RemoveTree(remote);
  }

  // The builder's command line on the base folder `base`: its status and
  // everything it printed.
  static std::pair<int, std::string> Cli(const std::string& base, std::vector<std::string> args,
                                         const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    args.insert(args.begin(), {"--base", base});
    const int rc = RunBuilderCli(args, in, out, err, false);
    return std::make_pair(rc, out.str() + err.str());
  }

  ServerInfo server;
  std::string start_dir;
  std::string remote;
  BuilderEnv env;
};

TEST_F(Ftp, ASignedManifestArrivesWithItsSignatureAndIsSignedAgainWhenStale) {
  PublicKey pub;
  SecretKey secret;
  GenerateKeyPair(&pub, &secret);
  env.dir.Write("base\\Quastorell.key", SecretKeyFileText(secret, std::nullopt));
  env.dir.Write("base\\Quastorell.pub", PublicKeyFileText(pub));
  ASSERT_TRUE(GenerateUpdate(env.st, env.ui).ok());
  auto ftp = MakeFtpClient();
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, *ftp).ok());
  const std::string target = WithTrailingSeparator(env.st.project.Target);
  std::string served, sig, local;
  ASSERT_TRUE(fs::ReadFile(remote + "Demo\\Quastorell.uif", &served));
  ASSERT_TRUE(fs::ReadFile(remote + "Demo\\Quastorell.uif.minisig", &sig));
  ASSERT_TRUE(fs::ReadFile(target + "Quastorell.uif", &local));
  EXPECT_EQ(served, local) << "the bytes that were signed";
  VerifiedSignature v;
  EXPECT_EQ(VerifySignature(served, sig, pub, &v), "");

  // A rule changed after the generation: the upload signs the manifest that
  // it sends, so the rule reaches the clients under a valid signature.
  env.st.manifest["app.exe"].Flags = kFlagNoUpdate;
  env.st.manifest["app.exe"].Update = 1;
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, *ftp).ok());
  ASSERT_TRUE(fs::ReadFile(remote + "Demo\\Quastorell.uif", &served));
  ASSERT_TRUE(fs::ReadFile(remote + "Demo\\Quastorell.uif.minisig", &sig));
  EXPECT_EQ(VerifySignature(served, sig, pub, &v), "");
  Manifest m;
  ASSERT_EQ(ManifestFromJson(served, &m), ManifestRead::kOk);
  EXPECT_EQ(m["app.exe"].Flags, kFlagNoUpdate);

  // A key that cannot sign the changed manifest sends nothing at all.
  env.st.manifest["app.exe"].Flags = kFlagNormal;
  env.dir.Write("base\\Quastorell.key", "broken");
  const std::string before = served;
  const UploadResult r = UploadUpdateSet(env.st, env.ui, *ftp);
  EXPECT_EQ(r.outcome, UploadResult::kSigningFailed);
  ASSERT_TRUE(fs::ReadFile(remote + "Demo\\Quastorell.uif", &served));
  EXPECT_EQ(served, before);
}

TEST_F(Ftp, EverythingArrivesByteIdentical) {
  auto ftp = MakeFtpClient();
  const UploadResult r = UploadUpdateSet(env.st, env.ui, *ftp);
  EXPECT_TRUE(r.ok()) << ftp->LastError();
  EXPECT_EQ(r.sent, 3);
  EXPECT_TRUE(env.ui.messages.empty());
  const std::string target = env.st.project.Target;
  for (const auto& [key, e] : env.st.manifest) {
    std::string local, arrived;
    ASSERT_TRUE(fs::ReadFile(target + e.Pack, &local)) << e.Pack;
    ASSERT_TRUE(fs::ReadFile(remote + "Demo\\" + e.Pack, &arrived)) << "missing: " << e.Pack;
    EXPECT_EQ(arrived, local) << e.Pack;
    EXPECT_EQ(static_cast<int32_t>(Crc32(arrived)), e.CRC);
    EXPECT_EQ(e.Update, 0);
  }
  EXPECT_EQ(env.st.manifest["Grüße aus Köln.txt"].Pack, "Grüße aus Köln[txt].uzf");
  std::string uif;
  ASSERT_TRUE(fs::ReadFile(remote + "Demo\\Quastorell.uif", &uif));
  EXPECT_EQ(uif, ToJson(env.st.manifest));
  std::vector<fs::DirEntry> entries;
  ASSERT_TRUE(fs::ListDirectory(remote + "Demo\\", &entries));
  EXPECT_EQ(entries.size(), 4u) << "no temporary file stays behind";
}

// What the server saw: every file was written under a temporary name and
// only renamed to its real name once it had arrived whole, the packed files
// before the manifest. A client never finds a half-written file.
TEST_F(Ftp, ServerNeverHoldsAHalfWrittenFileUnderItsRealName) {
  // A manifest is already there, as after an earlier upload.
  ASSERT_TRUE(fs::WriteFile(remote + "Demo\\Quastorell.uif", "{}"));
  auto ftp = MakeFtpClient();
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, *ftp).ok()) << ftp->LastError();
  const std::vector<std::string> log =
      ServerLog(server, server.server_root + "/" + start_dir + "/Demo/");
  std::vector<std::string> expected;
  std::vector<std::string> names;
  for (const auto& [key, e] : env.st.manifest) names.push_back(e.Pack);
  names.push_back("Quastorell.uif");
  for (const std::string& name : names) {
    for (const char* step : {"STOR ", "RECEIVED ", "RNFR "}) {
      expected.push_back(step + name + ".~qup");
    }
    expected.push_back("RNTO " + name);
  }
  EXPECT_EQ(log, expected);
}

TEST_F(Ftp, RefusedLoginShowsTheServersWords) {
  env.st.ftp.Password = ScramblePassword("falsch");
  auto ftp = MakeFtpClient();
  EXPECT_EQ(UploadUpdateSet(env.st, env.ui, *ftp).outcome, UploadResult::kConnectFailed);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Es konnte keine Verbindung zum FTP-Server hergestellt werden.\n\n"
            "Antwort des FTP-Servers: 530 Authentication failed.");
  EXPECT_EQ(env.st.manifest["app.exe"].Update, 1);

  // No server at all: nothing a server said.
  env.ui.messages.clear();
  env.st.ftp.Port = 1;
  EXPECT_EQ(UploadUpdateSet(env.st, env.ui, *ftp).outcome, UploadResult::kConnectFailed);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text, "Es konnte keine Verbindung zum FTP-Server hergestellt werden.");
}

TEST_F(Ftp, MissingDirectoryIsCreatedLevelByLevel) {
  env.st.project.FTPDir = "neu/tiefer";
  auto ftp = MakeFtpClient();
  EXPECT_TRUE(UploadUpdateSet(env.st, env.ui, *ftp).ok()) << ftp->LastError();
  EXPECT_EQ(FileExists(remote + "neu\\tiefer\\Quastorell.uif"), 1);
  EXPECT_EQ(FileExists(remote + "neu\\tiefer\\app[exe].uzf"), 1);
  const std::vector<std::string> log = ServerLog(server, server.server_root + "/" + start_dir + "/");
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "MKD neu");
  EXPECT_EQ(log[1], "MKD neu/tiefer");

  // The second time both levels exist.
  env.dir.Write("src\\app.exe", "changed");
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  env.st.project.FTPDir = "neu/tiefer";
  ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 1);
  EXPECT_TRUE(UploadUpdateSet(env.st, env.ui, *ftp).ok()) << ftp->LastError();
  int made = 0;
  for (const std::string& l : ServerLog(server, server.server_root + "/" + start_dir + "/")) {
    made += l.rfind("MKD ", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(made, 2);
}

TEST_F(Ftp, DirectoryThatCannotBeCreatedStopsTheUpload) {
  ASSERT_TRUE(fs::WriteFile(remote + "blocked", "a file in the way"));
  env.st.project.FTPDir = "blocked/demo";
  auto ftp = MakeFtpClient();
  EXPECT_EQ(UploadUpdateSet(env.st, env.ui, *ftp).outcome, UploadResult::kDirectoryRefused);
  for (const std::string& l : ServerLog(server, server.server_root + "/" + start_dir + "/")) {
    EXPECT_EQ(l.rfind("STOR", 0), std::string::npos) << "nothing sent: " << l;
  }
  EXPECT_EQ(env.st.manifest["app.exe"].Update, 1);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  const std::string& text = env.ui.messages[0].text;
  EXPECT_EQ(text.rfind("Das Verzeichnis \"blocked/demo\" auf dem FTP-Server konnte weder "
                      "geöffnet noch angelegt werden.",
                      0),
            0u)
      << text;
  EXPECT_NE(text.find("Es wurde nichts hochgeladen.\n\nAntwort des FTP-Servers: 550 "),
            std::string::npos)
      << text;
}

TEST_F(Ftp, RefusedStoreKeepsMarksAndHoldsBackTheManifest) {
  env.st.ftp.Login = "readonly";
  auto ftp = MakeFtpClient();
  const UploadResult r = UploadUpdateSet(env.st, env.ui, *ftp);
  EXPECT_EQ(r.outcome, UploadResult::kDone);
  EXPECT_EQ(r.failed.size(), 3u);
  EXPECT_FALSE(r.manifest_sent);
  EXPECT_EQ(FileExists(remote + "Demo\\Quastorell.uif"), 0);
  for (const auto& [key, e] : env.st.manifest) EXPECT_EQ(e.Update, 1) << key;
  ASSERT_EQ(env.ui.messages.size(), 1u);
  const std::string& text = env.ui.messages[0].text;
  EXPECT_EQ(text.substr(0, 43), "3 Dateien konnten nicht hochgeladen werden:");
  EXPECT_NE(text.find("\n  app.exe\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  sub dir\\ä b.dat\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n\nAntwort des FTP-Servers: 550 Not enough privileges."),
            std::string::npos)
      << text;
}

TEST_F(Ftp, ClientChangesUpAndDown) {
  ASSERT_EQ(CreateDirectoryTree(remote + "a\\b\\"), 1);
  env.dir.Write("one.txt", "1");
  auto ftp = MakeFtpClient();
  ASSERT_TRUE(ftp->Connect("127.0.0.1", server.port, "quasto", "geheim")) << ftp->LastError();
  ASSERT_TRUE(ftp->ChangeDirectory(start_dir + "/a/b"));
  ASSERT_TRUE(ftp->ChangeDirectory(".."));
  ASSERT_TRUE(ftp->SendFile(env.dir / "one.txt", "one up.txt")) << ftp->LastError();
  EXPECT_FALSE(ftp->ChangeDirectory("missing"));
  ASSERT_TRUE(ftp->SendFile(env.dir / "one.txt", "still here.txt")) << ftp->LastError();
  EXPECT_FALSE(ftp->SendFile(env.dir / "no-such-file", "x.txt"));
  ftp->Close();
  EXPECT_EQ(FileExists(remote + "a\\one up.txt"), 1);
  EXPECT_EQ(FileExists(remote + "a\\still here.txt"), 1);
  EXPECT_FALSE(MakeFtpClient()->Connect("127.0.0.1", server.port, "nobody", "x"));
}

// A connection the server ended is not taken up again: a new one starts in
// the login's own directory, not in the one the upload entered, where a file
// would be sent, renamed or deleted in the wrong place and counted as done.
TEST_F(Ftp, ALostConnectionEndsTheSessionInsteadOfWorkingElsewhere) {
  ASSERT_EQ(CreateDirectoryTree(remote + "kappen\\"), 1);
  const std::string victim = start_dir + "-victim.txt";
  const std::string stray = start_dir + "-stray.txt";
  ASSERT_TRUE(fs::WriteFile(server.root + victim, "another project's file"));
  env.dir.Write("one.txt", "1");
  auto ftp = MakeFtpClient();
  ASSERT_TRUE(ftp->Connect("127.0.0.1", server.port, "abbruch", "geheim")) << ftp->LastError();
  ASSERT_TRUE(ftp->ChangeDirectory(start_dir + "/kappen"));  // the server hangs up
  EXPECT_FALSE(ftp->SendFile(env.dir / "one.txt", stray));
  EXPECT_FALSE(ftp->RemoveFile(victim));
  EXPECT_FALSE(ftp->SendFile(env.dir / "one.txt", stray));
  EXPECT_FALSE(ftp->Rename(stray, stray + ".renamed"));
  ftp->Close();
  EXPECT_EQ(FileExists(server.root + victim), 1) << "deleted in the login's directory";
  EXPECT_EQ(FileExists(server.root + stray), 0) << "sent to the login's directory";
  EXPECT_EQ(FileExists(server.root + stray + ".renamed"), 0);
  fs::RemoveFile(server.root + victim);
  fs::RemoveFile(server.root + stray);
  fs::RemoveFile(server.root + stray + ".renamed");
}

// The dialogue shown for diagnosing a server goes to standard error, which a
// build pipeline keeps in its log: the password must not be in it, whether
// the server takes it or not.
TEST_F(Ftp, TheVerboseDialogueNeverShowsThePassword) {
  VerboseDialogue verbose(env.dir / "stderr.txt");
  ASSERT_TRUE(verbose.caught());
  auto ftp = MakeFtpClient();
  const bool accepted = ftp->Connect("127.0.0.1", server.port, "quasto", "geheim");
  ftp->Close();
  const bool refused = !ftp->Connect("127.0.0.1", server.port, "quasto", "Falsch9");
  ftp->Close();
  const std::string dialogue = verbose.Take();
  EXPECT_TRUE(accepted);
  EXPECT_TRUE(refused);
  EXPECT_NE(dialogue.find("USER quasto"), std::string::npos) << dialogue;
  EXPECT_NE(dialogue.find("PASS"), std::string::npos) << dialogue;
  EXPECT_EQ(dialogue.find("geheim"), std::string::npos) << dialogue;
  EXPECT_EQ(dialogue.find("Falsch9"), std::string::npos) << dialogue;
}

TEST_F(Ftp, CommandLineGeneratesAndUploads) {
  const std::string base = env.dir / "clibase";
  auto run = [&](std::vector<std::string> args, const std::string& input = "") {
    return Cli(base, std::move(args), input);
  };
  auto [rc1, out1] = run({"ftp", "--server", "127.0.0.1", "--port", std::to_string(server.port),
                          "--start-dir", start_dir, "--login", "quasto", "--password-stdin"},
                         "geheim\n");
  ASSERT_EQ(rc1, kExitOk) << out1;
  FTPStructure stored;
  ASSERT_TRUE(LoadDocument(base + "\\Quastorell.cfg", &stored));
  EXPECT_EQ(stored.Password, "") << "kept protected, not in the settings";
  auto [rc2, out2] = run({"new", "Web", "--source", env.src(), "--ftp-dir", "Demo"});
  ASSERT_EQ(rc2, kExitOk) << out2;
  auto [rc3, out3] = run({"generate", "Web", "--version", "3.1", "--upload"});
  EXPECT_EQ(rc3, kExitOk) << out3;
  EXPECT_NE(out3.find("3 Dateien hochgeladen, Quastorell.uif gesendet."), std::string::npos) << out3;
  EXPECT_EQ(FileExists(remote + "Demo\\app[exe].uzf"), 1);
  Manifest m;
  ASSERT_TRUE(LoadDocument(base + "\\Projects\\Web\\Quastorell.uif", &m));
  for (const auto& [key, e] : m) EXPECT_EQ(e.Update, 0) << key;

  // A wrong password: clear message, non-zero status.
  run({"ftp", "--server", "127.0.0.1", "--password-stdin"}, "falsch\n");
  auto [rc4, out4] = run({"upload", "Web"});
  EXPECT_EQ(rc4, kExitFailed);
  EXPECT_NE(out4.find("Projekt upload: Es konnte keine Verbindung"), std::string::npos) << out4;
  EXPECT_NE(out4.find("Antwort des FTP-Servers: 530 Authentication failed."), std::string::npos)
      << out4;

  // A pipeline's password from the environment logs in for this run only;
  // the stored one stays.
  SetVariable("QUASTO_FTP_PASSWORD", "geheim");
  auto [rc5, out5] = run({"upload", "Web"});
  SetVariable("QUASTO_FTP_PASSWORD", "");
  EXPECT_EQ(rc5, kExitOk) << out5;
  EXPECT_EQ(out5.find("geheim"), std::string::npos) << out5;
  auto [rc6, out6] = run({"upload", "Web"});
  EXPECT_EQ(rc6, kExitFailed) << "the stored password is still the wrong one";
}

// Bytes the server received, counted from its log: a re-publication of an
// unchanged release sends the manifest alone, and a packed file that no
// manifest needs any more leaves the server once the new manifest is there.
TEST_F(Ftp, AnUnchangedReleaseSendsOnlyTheManifestAndUnneededFilesGo) {
  const std::string base = env.dir / "clibase";
  auto run = [&](std::vector<std::string> args, const std::string& input = "") {
    return Cli(base, std::move(args), input);
  };
  ASSERT_EQ(run({"ftp", "--server", "127.0.0.1", "--port", std::to_string(server.port),
                 "--start-dir", start_dir, "--login", "quasto", "--password-stdin"},
                "geheim\n")
                .first,
            kExitOk);
  ASSERT_EQ(run({"new", "Web", "--source", env.src(), "--ftp-dir", "Demo"}).first, kExitOk);
  auto [rc1, out1] = run({"generate", "Web", "--version", "1", "--upload"});
  ASSERT_EQ(rc1, kExitOk) << out1;
  const std::string dir = server.server_root + "/" + start_dir + "/Demo/";
  auto received = [&] {
    std::vector<std::string> names;
    for (const std::string& line : ServerLog(server, dir)) {
      if (line.rfind("RECEIVED ", 0) == 0) names.push_back(line.substr(9));
    }
    return names;
  };
  const size_t first = received().size();
  EXPECT_EQ(first, 4u) << "three packed files and the manifest";

  // Every file packed again, to the same bytes, and published again.
  auto [rc2, out2] = run({"generate", "Web", "--version", "1", "--only", "app.exe", "--only",
                          "Grüße aus Köln.txt", "--only", "sub dir/ä b.dat", "--upload"});
  ASSERT_EQ(rc2, kExitOk) << out2;
  const std::vector<std::string> again = received();
  ASSERT_GE(again.size(), first);
  EXPECT_EQ(std::vector<std::string>(again.begin() + static_cast<long>(first), again.end()),
            std::vector<std::string>{"Quastorell.uif.~qup"})
      << "no packed byte sent again: " << out2;

  // A file leaves the release: the new manifest goes first, then its packed
  // file is deleted.
  ASSERT_TRUE(fs::RemoveFile(env.src() + "app.exe"));
  auto [rc3, out3] = run({"generate", "Web", "--version", "2", "--upload"});
  ASSERT_EQ(rc3, kExitOk) << out3;
  EXPECT_EQ(FileExists(remote + "Demo\\app[exe].uzf"), 0);
  EXPECT_EQ(FileExists(remote + "Demo\\Grüße aus Köln[txt].uzf"), 1);
  const std::vector<std::string> log = ServerLog(server, dir);
  const auto placed = std::find(log.rbegin(), log.rend(), "RNTO Quastorell.uif");
  const auto deleted = std::find(log.rbegin(), log.rend(), "DELE app[exe].uzf");
  ASSERT_NE(deleted, log.rend());
  EXPECT_GT(placed, deleted) << "deleted after the manifest was in place";
}

// Rules that need no packed file, and files that left the release, as the
// server's manifest carries them after the command line published them.
TEST_F(Ftp, CommandLinePublishesRulesWithoutPackedFilesAndRemovedFiles) {
  const std::string base = env.dir / "clibase";
  auto run = [&](std::vector<std::string> args, const std::string& input = "") {
    return Cli(base, std::move(args), input);
  };
  auto server_manifest = [&] {
    Manifest m;
    EXPECT_TRUE(LoadDocument(remote + "Rules\\Quastorell.uif", &m));
    return m;
  };
  ASSERT_EQ(run({"ftp", "--server", "127.0.0.1", "--port", std::to_string(server.port),
                 "--start-dir", start_dir, "--login", "quasto", "--password-stdin"},
                "geheim\n")
                .first,
            kExitOk);
  env.dir.Write("src\\obsolete.dll", "gone from the installation");
  env.dir.Write("src\\settings.ini", "the user's own");
  ASSERT_EQ(run({"new", "Rules", "--source", env.src(), "--ftp-dir", "Rules"}).first, kExitOk);
  ASSERT_EQ(run({"rule", "Rules", "obsolete.dll", "Delete"}).first, kExitOk);
  ASSERT_EQ(run({"rule", "Rules", "settings.ini", "IfNotExist"}).first, kExitOk);
  auto [rc, out] = run({"generate", "Rules", "--only", "app.exe", "--upload"});
  ASSERT_EQ(rc, kExitOk) << out;
  Manifest m = server_manifest();
  EXPECT_EQ(m.size(), 3u) << ToJson(m);
  EXPECT_EQ(m["app.exe"].Pack, "app[exe].uzf");
  EXPECT_EQ(m["obsolete.dll"].Flags, kFlagDelete);
  EXPECT_EQ(m["obsolete.dll"].Pack, "") << "nothing to fetch";
  EXPECT_EQ(m["settings.ini"].Flags, kFlagNoUpdate) << "leaves an installed file alone";
  EXPECT_EQ(m["settings.ini"].Pack, "");
  EXPECT_EQ(m.count("Grüße aus Köln.txt"), 0u) << "never packed, no rule";

  // app.exe leaves the release: no longer a file to fetch, until it takes
  // the Delete rule.
  fs::RemoveFile(env.src() + "app.exe");
  auto [rc2, out2] = run({"status", "Rules"});
  EXPECT_NE(out2.find("[ ] -----      app.exe (entfernt)\n"), std::string::npos) << out2;
  ASSERT_EQ(run({"upload", "Rules"}).first, kExitOk);
  EXPECT_EQ(server_manifest().count("app.exe"), 0u);
  ASSERT_EQ(run({"rule", "Rules", "app.exe", "Delete"}).first, kExitOk);
  ASSERT_EQ(run({"upload", "Rules"}).first, kExitOk);
  m = server_manifest();
  EXPECT_EQ(m["app.exe"].Flags, kFlagDelete);
  EXPECT_EQ(m["app.exe"].Pack, "");
}

// A server that keeps half of every file and reports each transfer as
// complete: the builder asks the size that arrived, renames nothing into
// place and holds the manifest back, with exit status 1.
TEST_F(Ftp, ATruncatingServerIsAFailedUpload) {
  const std::string base = env.dir / "clibase";
  auto run = [&](std::vector<std::string> args, const std::string& input = "") {
    return Cli(base, std::move(args), input);
  };
  ASSERT_EQ(run({"ftp", "--server", "127.0.0.1", "--port", std::to_string(server.port),
                 "--start-dir", start_dir, "--login", "halb", "--password-stdin"},
                "geheim\n")
                .first,
            kExitOk);
  ASSERT_EQ(run({"new", "Half", "--source", env.src(), "--ftp-dir", "Half"}).first, kExitOk);
  auto [rc, out] = run({"generate", "Half", "--upload"});
  EXPECT_EQ(rc, kExitFailed) << out;
  EXPECT_NE(out.find("3 Dateien konnten nicht hochgeladen werden:"), std::string::npos) << out;
  EXPECT_NE(out.find("(auf dem Server "), std::string::npos) << out;
  EXPECT_EQ(out.find("hochgeladen, Quastorell.uif gesendet"), std::string::npos) << out;
  EXPECT_EQ(FileExists(remote + "Half\\Quastorell.uif"), 0) << "the manifest stays home";
  EXPECT_EQ(FileExists(remote + "Half\\app[exe].uzf"), 0) << "no truncated file in place";
  for (const std::string& line : ServerLog(server, server.server_root + "/" + start_dir + "/Half/")) {
    EXPECT_NE(line.rfind("RNTO ", 0), 0u) << "nothing renamed into place: " << line;
  }
  Manifest m;
  ASSERT_TRUE(LoadDocument(base + "\\Projects\\Half\\Quastorell.uif", &m));
  for (const auto& [key, e] : m) EXPECT_EQ(e.Update, e.Pack.empty() ? 0 : 1) << key;
}

bool ReadFaultServers(std::map<std::string, int>* ports) {
  std::string text;
  if (!fs::ReadFile(QUASTO_FTP_FAULT_INFO, &text)) return false;
  std::istringstream in(text);
  std::string mode;
  int port;
  while (in >> mode >> port) (*ports)[mode] = port;
  return ports->count("endless") && ports->count("trickle") && ports->count("silent") &&
         ports->count("echo");
}

// Servers that never end their greeting, trickle it, or say nothing: the
// connection fails within the reply bound, never hangs, never runs out of
// memory.
TEST(FtpFaults, EndlessTricklingAndSilentServersEndTheConnection) {
  std::map<std::string, int> ports;
  if (!ReadFaultServers(&ports)) {
    GTEST_SKIP() << "no fault servers: run through ctest, whose fixture starts "
                    "tests/servers/ftp_fault_server.py";
  }
  for (const char* mode : {"endless", "trickle", "silent"}) {
    auto ftp = MakeFtpClient();
    const int64_t started = fs::ClockNowNs();
    EXPECT_FALSE(ftp->Connect("127.0.0.1", ports[mode], "quasto", "geheim")) << mode;
    const double seconds = static_cast<double>(fs::ClockNowNs() - started) / 1e9;
    std::printf("%s: connection ended after %.1f s: %s\n", mode, seconds,
                ftp->LastError().c_str());
    // The endless one ends at the reply's size bound, the others at its time
    // bound (or the connection's, which is shorter natively).
    EXPECT_LT(seconds, std::string(mode) == "endless" ? 20.0 : kFtpReplySeconds + 20.0) << mode;
    ftp->Close();
  }
}

// A server that repeats the command it refuses, password and all: its words
// follow the builder's message, and that message, the client's error and
// the verbose dialogue show the password masked.
TEST(FtpFaults, AServerThatEchoesThePasswordDoesNotMakeItShow) {
  std::map<std::string, int> ports;
  if (!ReadFaultServers(&ports)) {
    GTEST_SKIP() << "no fault servers: run through ctest, whose fixture starts "
                    "tests/servers/ftp_fault_server.py";
  }
  BuilderEnv env;
  env.dir.Write("src\\app.exe", "program");
  ASSERT_TRUE(env.Create("Demo", true));
  env.st.ftp = {};
  env.st.ftp.Server = "127.0.0.1";
  env.st.ftp.Port = ports["echo"];
  env.st.ftp.Login = "quasto";
  env.st.ftp.Password = ScramblePassword("Tr0ub4dor");
  env.st.network_ready = InitNetwork();
  ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 1);
  env.ui.messages.clear();

  VerboseDialogue verbose(env.dir / "stderr.txt");
  ASSERT_TRUE(verbose.caught());
  auto ftp = MakeFtpClient();
  const UploadResult r = UploadUpdateSet(env.st, env.ui, *ftp);
  const std::string dialogue = verbose.Take();

  EXPECT_EQ(r.outcome, UploadResult::kConnectFailed);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Es konnte keine Verbindung zum FTP-Server hergestellt werden.\n\n"
            "Antwort des FTP-Servers: 530 Login incorrect: PASS ****");
  EXPECT_EQ(ftp->LastError().find("Tr0ub4dor"), std::string::npos) << ftp->LastError();
  EXPECT_NE(dialogue.find("530 Login incorrect"), std::string::npos) << dialogue;
  EXPECT_EQ(dialogue.find("Tr0ub4dor"), std::string::npos) << dialogue;
}

}  // namespace
}  // namespace quasto
