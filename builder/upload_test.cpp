#include "builder/upload.h"

#include <gtest/gtest.h>

#include <random>

#include <algorithm>
#include <functional>
#include <set>

#include "builder/generation.h"
#include "builder/published_record.h"
#include "builder/test_env.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/packed_file.h"

namespace quasto {
namespace {

using testing::BuilderEnv;

TEST(Password, ScrambleTablesAndInverse) {
  EXPECT_EQ(ScramblePassword("0123456789"), "qrstuvwxyz");
  EXPECT_EQ(UnscramblePassword("qrstuvwxyz"), "0123456789");
  EXPECT_EQ(ScramblePassword("AJKZ"), "09AP");
  EXPECT_EQ(ScramblePassword("ajkz"), "QZap");
  EXPECT_EQ(ScramblePassword("!#-_ äß"), "!#-_ äß") << "only letters and digits change";
  std::string all;
  for (char c = '0'; c <= '9'; ++c) all += c;
  for (char c = 'A'; c <= 'Z'; ++c) all += c;
  for (char c = 'a'; c <= 'z'; ++c) all += c;
  const std::string scrambled = ScramblePassword(all);
  EXPECT_EQ(std::set<char>(scrambled.begin(), scrambled.end()).size(), 62u) << "a permutation";
  EXPECT_EQ(UnscramblePassword(scrambled), all);
}

TEST(FtpDialog, FillsFromTheRecordAndValidates) {
  BuilderEnv env;
  env.ui.ftp_dialog = [](FtpDialog& d) {
    EXPECT_EQ(d.port, "21") << "port 0 proposes 21";
    EXPECT_EQ(d.password, "");
    EXPECT_FALSE(d.Apply()) << "server empty";
    d.server = "ftp.example";
    d.port = "";
    EXPECT_FALSE(d.Apply()) << "port empty";
    d.port = "70000";
    EXPECT_FALSE(d.Apply()) << "no such port";
    d.port = "21";
    d.password = "Geheim7";
    return d.Apply();
  };
  FtpSettingsDialog(env.st, env.ui);
  ASSERT_EQ(env.ui.messages.size(), 3u);
  EXPECT_EQ(env.ui.messages[0].caption, "FTP - Einstellungen");
  EXPECT_EQ(env.ui.messages[0].text, "Die Eingaben sind unvollständig!");
  EXPECT_EQ(env.ui.messages[1].text, "Die Eingaben sind unvollständig!");
  EXPECT_EQ(env.st.ftp.Port, 21);
  EXPECT_EQ(env.st.ftp.Password, ScramblePassword("Geheim7"));

  env.ui.ftp_dialog = [](FtpDialog& d) {
    EXPECT_EQ(d.password, "Geheim7") << "shown in plain form";
    d.server = "changed";
    return false;  // close box
  };
  FtpSettingsDialog(env.st, env.ui);
  EXPECT_EQ(env.st.ftp.Server, "ftp.example");
}

// An FTP client that records what it is asked, keeps what it was sent, and
// refuses on demand with a server's words.
class FakeFtp : public FtpClient {
 public:
  using FtpClient::Connect;
  bool Connect(const ServerLogin& l) override {
    log.push_back("connect " + l.server + ":" + std::to_string(l.port) + " " + l.login + "/" +
                  l.password);
    identity_ = IdentityProblem::kNone;
    // An SSH server with this key: unknown without a pin, changed with another.
    if (!host_key.empty() && l.pin != host_key) {
      identity_ = l.pin.empty() ? IdentityProblem::kUnknownHostKey : IdentityProblem::kKeyChanged;
      return Answer(false, "");
    }
    return Answer(accept_login, "530 Login incorrect.");
  }
  IdentityProblem Identity() const override { return identity_; }
  std::string PresentedKey() const override { return identity_ == IdentityProblem::kNone ? "" : host_key; }
  bool ChangeDirectory(const std::string& path) override {
    log.push_back("cwd " + path);
    return Answer(refused_dir != path && missing.count(path) == 0, "550 No such directory.");
  }
  bool MakeDirectory(const std::string& name) override {
    log.push_back("mkd " + name);
    if (refused_mkd.count(name)) return Answer(false, "550 Permission denied.");
    missing.erase(name);
    return Answer(true, "");
  }
  bool SendFile(const std::string& local, const std::string& remote) override {
    log.push_back("stor " + remote);
    std::string data;
    if (!fs::ReadFile(local, &data)) return Answer(false, "");  // a local failure
    if (refused_stor.count(remote)) return Answer(false, "553 Could not create file.");
    // A server that keeps only half of what it gets, and says it is done.
    if (truncating) data.resize(data.size() / 2);
    staged[remote] = data;
    return Answer(true, "");
  }
  bool Rename(const std::string& from, const std::string& to) override {
    log.push_back("rename " + from + " " + to);
    if (refused_rename.count(to) || staged.count(from) == 0) {
      return Answer(false, "553 Rename failed.");
    }
    sent[to] = staged[from];
    staged.erase(from);
    if (after_rename) after_rename(to);
    return Answer(true, "");
  }
  bool RemoveFile(const std::string& name) override {
    log.push_back("dele " + name);
    if (refused_dele.count(name)) return Answer(false, "550 Permission denied.");
    return Answer(staged.erase(name) + sent.erase(name) == 1, "550 No such file.");
  }
  bool RemoteSize(const std::string& name, int64_t* size) override {
    auto it = staged.find(name);
    if (it == staged.end()) it = sent.find(name);
    if (it == staged.end() || it == sent.end()) return Answer(false, "550 No such file.");
    *size = static_cast<int64_t>(it->second.size());
    return Answer(true, "");
  }
  void Close() override { log.push_back("quit"); }
  std::string LastError() const override { return "fake"; }
  std::string LastRefusal() const override { return refusal_; }

  // Commands other than those that place files: directory walks, cleanup.
  std::vector<std::string> Placing() const {
    std::vector<std::string> out;
    for (const std::string& l : log) {
      if (l.rfind("stor ", 0) == 0 || l.rfind("rename ", 0) == 0) out.push_back(l);
    }
    return out;
  }

  bool accept_login = true;
  std::string refused_dir = "-";
  std::set<std::string> missing;  // directories that CWD cannot enter until made
  std::set<std::string> refused_mkd;
  std::set<std::string> refused_stor;
  std::set<std::string> refused_rename;  // by the new name
  std::set<std::string> refused_dele;
  bool truncating = false;
  std::string host_key;
  std::function<void(const std::string&)> after_rename;  // the file is in place
  std::vector<std::string> log;
  std::map<std::string, std::string> staged;  // stored, not yet renamed
  std::map<std::string, std::string> sent;    // under their real names

 private:
  IdentityProblem identity_ = IdentityProblem::kNone;
  bool Answer(bool ok, const std::string& refusal) {
    refusal_ = ok ? "" : refusal;
    return ok;
  }
  std::string refusal_;
};

class Upload : public ::testing::Test {
 protected:
  void SetUp() override {
    env.dir.Write("src\\a.txt", "alpha");
    env.dir.Write("src\\sub\\b.txt", "beta");
    ASSERT_TRUE(env.Create("Demo", true));
    env.st.ftp = {};
    env.st.ftp.Server = "ftp.example";
    env.st.ftp.Port = 2121;
    env.st.ftp.StartDir = "start";
    env.st.ftp.Login = "user";
    env.st.ftp.Password = ScramblePassword("pw");
    env.st.network_ready = true;
    ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 2);
    env.ui.messages.clear();
    env.ui.progress.clear();
  }
  BuilderEnv env;
  FakeFtp ftp;
};

TEST_F(Upload, SendsPendingFilesThenTheManifestEachUnderATemporaryName) {
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(ftp.log, (std::vector<std::string>{
                         "connect ftp.example:2121 user/pw", "cwd start", "cwd Demo",
                         "stor a[txt].uzf.~qup", "rename a[txt].uzf.~qup a[txt].uzf",
                         "stor {sub}b[txt].uzf.~qup", "rename {sub}b[txt].uzf.~qup {sub}b[txt].uzf",
                         "stor Quastorell.uif.~qup", "rename Quastorell.uif.~qup Quastorell.uif",
                         "quit"}));
  EXPECT_TRUE(ftp.staged.empty()) << "no temporary file stays";
  EXPECT_EQ(env.st.manifest["a.txt"].Update, 0);
  EXPECT_EQ(ftp.sent["Quastorell.uif"], ToJson(env.st.manifest));
  EXPECT_EQ(ftp.sent["a[txt].uzf"], env.dir.Read("base\\Upload\\Demo\\a[txt].uzf"));
  EXPECT_TRUE(env.ui.messages.empty()) << "a complete upload ends without a message";
  EXPECT_EQ(env.ui.progress,
            (std::vector<std::string>{"begin Upload ..... 3", "text a.txt", "step 1", "text b.txt",
                                      "step 2", "text Quastorell.uif", "step 3", "end"}));

  // Nothing pending any more: only the manifest goes.
  ftp.log.clear();
  EXPECT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  EXPECT_EQ(ftp.Placing(), (std::vector<std::string>{"stor Quastorell.uif.~qup",
                                                     "rename Quastorell.uif.~qup Quastorell.uif"}));
}

TEST_F(Upload, FailedFileKeepsItsMarkAndTheManifestIsNotSent) {
  ftp.refused_stor = {"{sub}b[txt].uzf.~qup"};
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.sent, 1);
  EXPECT_EQ(r.failed, std::vector<std::string>{"sub\\b.txt"});
  EXPECT_FALSE(r.manifest_sent);
  EXPECT_EQ(ftp.sent.count("Quastorell.uif"), 0u);
  EXPECT_EQ(env.st.manifest["a.txt"].Update, 0);
  EXPECT_EQ(env.st.manifest["sub\\b.txt"].Update, 1);
  Manifest saved;
  ASSERT_TRUE(LoadDocument(env.base() + "Projects\\Demo\\Quastorell.uif", &saved));
  EXPECT_EQ(saved, env.st.manifest) << "written locally";
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].caption, "Projekt upload");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kWarning);
  EXPECT_EQ(env.ui.messages[0].text,
            "1 Datei konnte nicht hochgeladen werden:\n  sub\\b.txt\n"
            "Die Update-Info \"Quastorell.uif\" wurde deshalb nicht gesendet; die Dateien bleiben "
            "für den nächsten Upload vorgemerkt.\n\n"
            "Antwort des FTP-Servers: 553 Could not create file.");

  // The next upload sends the rest, then the manifest.
  ftp.refused_stor.clear();
  EXPECT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  EXPECT_EQ(env.st.manifest["sub\\b.txt"].Update, 0);
}

// A server that keeps half of every file and confirms the transfer: the size
// it reports gives it away, nothing is renamed into place and the manifest
// stays home.
TEST_F(Upload, TruncatedFilesAreNotPublished) {
  ftp.truncating = true;
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.sent, 0);
  EXPECT_EQ(r.failed, (std::vector<std::string>{"a.txt", "sub\\b.txt"}));
  EXPECT_FALSE(r.manifest_sent);
  EXPECT_TRUE(ftp.sent.empty()) << "nothing renamed into place";
  EXPECT_TRUE(ftp.staged.empty()) << "the truncated temporaries are removed";
  EXPECT_EQ(env.st.manifest["a.txt"].Update, 1);
  const int64_t a = fs::FileSize(env.base() + "Upload\\Demo\\a[txt].uzf");
  const int64_t b = fs::FileSize(env.base() + "Upload\\Demo\\{sub}b[txt].uzf");
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "2 Dateien konnten nicht hochgeladen werden:\n  a.txt (auf dem Server " +
                std::to_string(a / 2) + " statt " + std::to_string(a) + " Bytes)\n  sub\\b.txt "
                "(auf dem Server " + std::to_string(b / 2) + " statt " + std::to_string(b) +
                " Bytes)\nDie Update-Info \"Quastorell.uif\" wurde deshalb nicht gesendet; die "
                "Dateien bleiben für den nächsten Upload vorgemerkt.");

  // With every file whole, the manifest is cut short instead.
  ftp.truncating = false;
  ftp.refused_stor = {"Quastorell.uif.~qup"};
  ASSERT_FALSE(UploadUpdateSet(env.st, env.ui, ftp).manifest_sent);
  ftp.refused_stor.clear();
  ftp.truncating = true;
  env.ui.messages.clear();
  ASSERT_FALSE(UploadUpdateSet(env.st, env.ui, ftp).manifest_sent);
  EXPECT_EQ(ftp.sent.count("Quastorell.uif"), 0u);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text.rfind(
                "Die Update-Info \"Quastorell.uif\" konnte nicht hochgeladen werden (auf dem Server ",
                0),
            0u)
      << env.ui.messages[0].text;
}

// The manifest names packed files by their size and CRC: a set where those
// disagree (a run of an earlier builder cut short, a file replaced by hand)
// is refused before anything is sent, and the files are named.
TEST_F(Upload, ASetWhoseFilesDisagreeWithTheManifestIsRefused) {
  const std::string a = env.base() + "Upload\\Demo\\a[txt].uzf";
  const std::string b = env.base() + "Upload\\Demo\\{sub}b[txt].uzf";
  std::string packed_a, packed_b;
  ASSERT_TRUE(fs::ReadFile(a, &packed_a));
  ASSERT_TRUE(fs::ReadFile(b, &packed_b));
  std::string flipped = packed_a;
  flipped.back() = static_cast<char>(flipped.back() ^ 1);
  ASSERT_TRUE(fs::WriteFile(a, flipped));
  ASSERT_TRUE(fs::WriteFile(b, PackContent("another content")));
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.outcome, UploadResult::kMismatched);
  EXPECT_FALSE(r.ok());
  EXPECT_TRUE(ftp.log.empty()) << "not even connected";
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kError);
  EXPECT_EQ(env.ui.messages[0].text,
            "Die Dateien im Zielverzeichnis passen nicht zur Update-Info \"Quastorell.uif\":\n"
            "  a.txt (CRC)\n  sub\\b.txt (Größe)\n"
            "Es wurde nichts hochgeladen. Bitte erstellen Sie diese Dateien neu.");
  // Sent before, then gone from the target folder: not a disagreement.
  ASSERT_TRUE(fs::WriteFile(a, packed_a));
  fs::RemoveFile(b);
  env.st.manifest["sub\\b.txt"].Update = 0;
  EXPECT_TRUE(MismatchedPacks(env.st).empty());
}

TEST_F(Upload, FailedRenameLeavesTheOldFileAndCountsAsAFailure) {
  ftp.sent["a[txt].uzf"] = "old content";
  ftp.refused_rename = {"a[txt].uzf"};
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.failed, std::vector<std::string>{"a.txt"});
  EXPECT_EQ(ftp.sent["a[txt].uzf"], "old content");
  EXPECT_EQ(ftp.staged.count("a[txt].uzf.~qup"), 0u) << "the temporary file is removed";
  EXPECT_EQ(env.st.manifest["a.txt"].Update, 1);
  EXPECT_FALSE(r.manifest_sent);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_NE(env.ui.messages[0].text.find("\n  a.txt\n"), std::string::npos);
  EXPECT_NE(env.ui.messages[0].text.find("Antwort des FTP-Servers: 553 Rename failed."),
            std::string::npos);

  // The same for the manifest: the server keeps the old one whole.
  ftp.refused_rename = {"Quastorell.uif"};
  ftp.sent["Quastorell.uif"] = "{}";
  env.ui.messages.clear();
  EXPECT_FALSE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  EXPECT_EQ(ftp.sent["Quastorell.uif"], "{}");
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Die Update-Info \"Quastorell.uif\" konnte nicht hochgeladen werden.\n\n"
            "Antwort des FTP-Servers: 553 Rename failed.");
}

TEST_F(Upload, MissingDirectoriesAreCreatedLevelByLevel) {
  env.st.project.FTPDir = "upd/demo/";
  ftp.missing = {"upd/demo/", "upd", "demo"};
  EXPECT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  EXPECT_EQ(std::vector<std::string>(ftp.log.begin() + 1, ftp.log.begin() + 9),
            (std::vector<std::string>{"cwd start", "cwd upd/demo/", "cwd upd", "mkd upd", "cwd upd",
                                      "cwd demo", "mkd demo", "cwd demo"}));
  EXPECT_EQ(ftp.sent.count("Quastorell.uif"), 1u);

  // An absolute path starts at the root; levels that exist are entered.
  ftp.log.clear();
  env.st.ftp.StartDir = "";
  env.st.project.FTPDir = "/pub/./new";
  ftp.missing = {"/pub/./new", "new"};
  EXPECT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  EXPECT_EQ(std::vector<std::string>(ftp.log.begin() + 1, ftp.log.begin() + 7),
            (std::vector<std::string>{"cwd /pub/./new", "cwd /", "cwd pub", "cwd new", "mkd new",
                                      "cwd new"}));
}

TEST_F(Upload, DirectoryThatCannotBeCreatedSendsNothing) {
  env.st.project.FTPDir = "a/b";
  ftp.missing = {"a/b", "b"};
  ftp.refused_mkd = {"b"};
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.outcome, UploadResult::kDirectoryRefused);
  EXPECT_TRUE(ftp.Placing().empty());
  EXPECT_EQ(env.st.manifest["a.txt"].Update, 1);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Das Verzeichnis \"a/b\" auf dem FTP-Server konnte weder geöffnet noch angelegt "
            "werden.\nEs wurde nichts hochgeladen.\n\nAntwort des FTP-Servers: 550 Permission "
            "denied.");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kError);
  EXPECT_EQ(env.ui.progress.back(), "end");
}

TEST_F(Upload, RefusalsBeforeAnyTransfer) {
  ftp.accept_login = false;
  EXPECT_EQ(UploadUpdateSet(env.st, env.ui, ftp).outcome, UploadResult::kConnectFailed);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Es konnte keine Verbindung zum FTP-Server hergestellt werden.\n\n"
            "Antwort des FTP-Servers: 530 Login incorrect.");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kError);
  EXPECT_TRUE(env.ui.progress.empty());

  env.st.network_ready = false;
  env.ui.messages.clear();
  EXPECT_EQ(UploadUpdateSet(env.st, env.ui, ftp).outcome, UploadResult::kNoNetwork);
  EXPECT_TRUE(env.ui.messages.empty());

  env.st.project.FTPUpload = 0;
  EXPECT_EQ(UploadUpdateSet(env.st, env.ui, ftp).outcome, UploadResult::kNotConfigured);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text, "Der FTP-Upload wurde für diese Projekt nicht konfiguriert.");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kWarning);
}

TEST_F(Upload, ServerManifestLeavesOutFilesNeverPacked) {
  env.dir.Write("src\\later.txt", "not yet");
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  for (int i = 0; i < env.ui.RowCount(); ++i) env.ui.SetRowChecked(i, false);
  GenerateUpdate(env.st, env.ui);  // the new file stays unpacked
  ASSERT_EQ(env.st.manifest.count("later.txt"), 1u);
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_TRUE(r.ok());
  Manifest sent;
  ASSERT_EQ(ManifestFromJson(ftp.sent["Quastorell.uif"], &sent), ManifestRead::kOk);
  EXPECT_EQ(sent.count("later.txt"), 0u);
  EXPECT_EQ(sent.size(), 2u);
  Manifest local;
  ASSERT_TRUE(LoadDocument(env.base() + "Projects\\Demo\\Quastorell.uif", &local));
  EXPECT_EQ(local.count("later.txt"), 1u) << "the builder keeps it";
  EXPECT_EQ(FileExists(env.base() + "Projects\\Demo\\Quastorell.uif.send"), 0);
}

TEST_F(Upload, RemovedFilesLeaveTheServerManifestOrGoAsDeleteEntries) {
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  testing::RemoveTree(env.src() + "sub");
  env.dir.Write("src\\new.txt", "n");
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  EXPECT_FALSE(env.ui.upload_enabled()) << "nothing waits";
  int removed = -1;
  for (int i = 0; i < env.ui.RowCount(); ++i) {
    if (env.ui.Row(i).removed) removed = i;
  }
  ASSERT_GE(removed, 0);
  EXPECT_EQ(env.ui.Row(removed).name, "b.txt");
  EXPECT_FALSE(env.ui.Row(removed).checked);

  GenerateUpdate(env.st, env.ui);  // new.txt
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  Manifest sent;
  ASSERT_EQ(ManifestFromJson(ftp.sent["Quastorell.uif"], &sent), ManifestRead::kOk);
  EXPECT_EQ(sent.count("sub\\b.txt"), 0u) << "a fresh installation must not fetch it";
  EXPECT_EQ(sent.count("new.txt"), 1u);
  EXPECT_EQ(env.st.manifest.count("sub\\b.txt"), 1u) << "the builder keeps it";

  // With the Delete rule it goes out as an entry that fetches nothing.
  env.ui.EnableUpload(false);
  env.ui.SelectRow(removed);
  EXPECT_FALSE(SetRule(env.st, env.ui, kFlagNoUpdate)) << "meaningless for a removed file";
  EXPECT_FALSE(env.ui.upload_enabled());
  ASSERT_TRUE(SetRule(env.st, env.ui, kFlagDelete));
  EXPECT_TRUE(env.ui.upload_enabled()) << "the server's manifest no longer matches";
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  ASSERT_EQ(ManifestFromJson(ftp.sent["Quastorell.uif"], &sent), ManifestRead::kOk);
  ASSERT_EQ(sent.count("sub\\b.txt"), 1u);
  EXPECT_EQ(sent["sub\\b.txt"].Flags, kFlagDelete);
  EXPECT_EQ(sent["sub\\b.txt"].Pack, "");
  EXPECT_EQ(sent["sub\\b.txt"].CRC, 0);
  EXPECT_EQ(env.st.manifest["sub\\b.txt"].Pack, "{sub}b[txt].uzf") << "kept in the builder";
}

TEST(PublishedManifest, EveryRuleInAFormAClientCanActOn) {
  auto entry = [](const std::string& pack, int32_t flags) {
    UpdFileStructure e;
    // Moved in: GCC 12 under mingw warns (-Wrestrict) on assigning the literals.
    e.Name = std::string("f");
    e.Type = std::string("F");
    e.Pack = pack;
    e.CRC = pack.empty() ? 0 : 99;
    e.Flags = flags;
    return e;
  };
  Manifest m = {
      {"packed", entry("p.uzf", kFlagNormal)},
      {"packed-noupdate", entry("p.uzf", kFlagNoUpdate)},
      {"packed-ifnotexist", entry("p.uzf", kFlagIfNotExist)},
      {"packed-delete", entry("p.uzf", kFlagDelete)},
      {"never", entry("", kFlagNormal)},
      {"never-noupdate", entry("", kFlagNoUpdate)},
      {"never-ifnotexist", entry("", kFlagIfNotExist)},
      {"never-delete", entry("", kFlagDelete)},
      {"removed", entry("p.uzf", kFlagNormal)},
      {"removed-ifnotexist", entry("p.uzf", kFlagIfNotExist)},
      {"removed-delete", entry("p.uzf", kFlagDelete)},
      {"bad-pack", entry("sub\\p.uzf", kFlagNormal)},
  };
  m["unsafe"] = entry("p.uzf", kFlagDelete);
  m["unsafe"].Path = "..\\";
  const Manifest out =
      PublishedManifest(m, {"removed", "removed-ifnotexist", "removed-delete"});
  std::map<std::string, std::pair<std::string, int32_t>> got;
  for (const auto& [key, e] : out) got[key] = {e.Pack, e.Flags};
  EXPECT_EQ(got, (std::map<std::string, std::pair<std::string, int32_t>>{
                     {"packed", {"p.uzf", kFlagNormal}},
                     {"packed-noupdate", {"p.uzf", kFlagNoUpdate}},
                     {"packed-ifnotexist", {"p.uzf", kFlagIfNotExist}},
                     {"packed-delete", {"", kFlagDelete}},
                     {"never-noupdate", {"", kFlagNoUpdate}},
                     {"never-ifnotexist", {"", kFlagNoUpdate}},
                     {"never-delete", {"", kFlagDelete}},
                     {"removed-delete", {"", kFlagDelete}},
                 }));
  for (const auto& [key, e] : out) {
    EXPECT_EQ(e.CRC, e.Pack.empty() ? 0 : 99) << key;
  }
  EXPECT_EQ(PublishedManifest(m).count("removed"), 1u) << "without a scan nothing is removed";
}

TEST_F(Upload, PendingFileWithoutItsPackedFileIsProposedAgain) {
  // The target folder was changed after the generation: the packed file is
  // not where the upload looks for it.
  fs::RemoveFile(env.base() + "Upload\\Demo\\{sub}b[txt].uzf");
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.failed, std::vector<std::string>{"sub\\b.txt"});
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_NE(env.ui.messages[0].text.find("\n  sub\\b.txt (fehlt im Zielverzeichnis)\n"),
            std::string::npos)
      << env.ui.messages[0].text;
  EXPECT_EQ(env.ui.messages[0].text.find("Antwort des FTP-Servers"), std::string::npos)
      << "the server refused nothing";

  CloseProject(env.st, env.ui);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  ASSERT_EQ(env.ui.RowCount(), 2);
  EXPECT_FALSE(env.ui.Row(0).checked) << "a.txt was sent";
  EXPECT_TRUE(env.ui.Row(1).checked) << "b.txt is proposed for packing again";
  EXPECT_EQ(GenerateUpdate(env.st, env.ui).created, 1);
  EXPECT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  EXPECT_EQ(ftp.sent.count("Quastorell.uif"), 1u);
}

TEST_F(Upload, PendingUploadsEnableHochladenAfterARestart) {
  ShutdownBuilder(env.st, env.ui, {});
  BuilderState st;
  RecordingUi ui;
  StartBuilder(st, ui, env.base());
  st.network_ready = true;
  st.ftp = env.st.ftp;
  ASSERT_TRUE(OpenRecentProject(st, ui, 1));
  EXPECT_TRUE(ui.upload_enabled());
  EXPECT_EQ(PendingUploads(st), (std::vector<std::string>{"a.txt", "sub\\b.txt"}));
  EXPECT_FALSE(ui.Row(0).checked) << "nothing to generate again";
  EXPECT_TRUE(UploadUpdateSet(st, ui, ftp).ok());
  EXPECT_EQ(ftp.sent.count("{sub}b[txt].uzf"), 1u);

  ShutdownBuilder(st, ui, {});
  BuilderState later;
  RecordingUi later_ui;
  StartBuilder(later, later_ui, env.base());
  later_ui.EnableUpload(true);
  ASSERT_TRUE(OpenRecentProject(later, later_ui, 1));
  EXPECT_FALSE(later_ui.upload_enabled()) << "nothing waits any more";
}

TEST_F(Upload, ManifestThatCannotBeSentIsReported) {
  ftp.refused_stor = {"Quastorell.uif.~qup"};
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.sent, 2);
  EXPECT_FALSE(r.ok());
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Die Update-Info \"Quastorell.uif\" konnte nicht hochgeladen werden.\n\n"
            "Antwort des FTP-Servers: 553 Could not create file.");
}

}  // namespace
}  // namespace quasto

namespace quasto {
namespace {

constexpr char kKeyA[] = "SHA256:47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU";
constexpr char kKeyB[] = "SHA256:ypeBEsobvcr6wjGzmiPcTaeG7/gUfE5yuYB3ha/uSLs";

TEST(FtpDialog, ProtocolFingerprintAndTheProtocolsOwnPort) {
  BuilderEnv env;
  env.st.ftp.Server = "sftp.example";
  env.st.ftp.Protocol = "SFTP";
  env.ui.ftp_dialog = [](FtpDialog& d) {
    EXPECT_EQ(d.protocol, "SFTP");
    EXPECT_EQ(d.port, "22") << "port 0 proposes the protocol's own";
    d.protocol = "SCP";
    EXPECT_FALSE(d.Apply());
    d.protocol = "FTPS";
    d.fingerprint = "SHA256:zu kurz";
    EXPECT_FALSE(d.Apply());
    d.fingerprint = std::string(kKeyA).substr(7) + "=";  // as openssl prints it
    d.port = "0";
    return d.Apply();
  };
  FtpSettingsDialog(env.st, env.ui);
  ASSERT_EQ(env.ui.messages.size(), 2u);
  EXPECT_EQ(env.ui.messages[0].text, "Das Protokoll muss FTP, FTPS oder SFTP sein.");
  EXPECT_NE(env.ui.messages[1].text.find("SHA-256"), std::string::npos);
  EXPECT_EQ(env.st.ftp.Protocol, "FTPS");
  EXPECT_EQ(env.st.ftp.Port, 0);
  EXPECT_EQ(env.st.ftp.Fingerprint, kKeyA) << "written as ssh shows it";
  ServerLogin login;
  ASSERT_TRUE(LoginOf(env.st.ftp, &login));
  EXPECT_EQ(login.protocol, TransferProtocol::kFtps);

  // Another server keeps no pin of the old one; plain FTP is stored as before.
  env.ui.ftp_dialog = [](FtpDialog& d) {
    d.server = "ftp.example";
    d.protocol = "FTP";
    return d.Apply();
  };
  FtpSettingsDialog(env.st, env.ui);
  EXPECT_EQ(env.st.ftp.Fingerprint, "");
  EXPECT_EQ(env.st.ftp.Protocol, "");
}

// Choosing a protocol moves the port along only while it is a protocol's
// own: a port the publisher typed stays.
TEST(FtpDialog, ThePortFollowsTheProtocolUnlessItWasTyped) {
  BuilderEnv env;
  FtpDialog d(env.st, env.ui);
  EXPECT_EQ(d.protocol, "FTP");
  d.ChooseProtocol("SFTP");
  EXPECT_EQ(d.port, "22");
  d.ChooseProtocol("FTPS");
  EXPECT_EQ(d.port, "21") << "explicit TLS starts on the FTP port";
  d.port = "2222";
  d.ChooseProtocol("SFTP");
  EXPECT_EQ(d.port, "2222");
  for (const std::string none : {"", "0"}) {
    d.port = none;
    d.ChooseProtocol("SFTP");
    EXPECT_EQ(d.port, "22") << "from \"" << none << "\"";
  }
  // A protocol a later builder stored: the port is left to the publisher.
  d.protocol = "Gopher";
  d.port = "21";
  d.ChooseProtocol("SFTP");
  EXPECT_EQ(d.port, "21");
}

// A password over plain FTP crosses the network readably: saving it asks,
// and "No" keeps the dialog open with the record as it was. Without a
// password, or over FTPS and SFTP, nothing is asked.
TEST(FtpDialog, PlainFtpWithAPasswordAsksBeforeItIsSaved) {
  BuilderEnv env;
  env.st.ftp.Server = "ftp.example";
  env.ui.yes_answer = false;
  int applies = 0;
  env.ui.ftp_dialog = [&](FtpDialog& d) {
    d.password = "Geheim7";
    EXPECT_FALSE(d.Apply());
    ++applies;
    return false;
  };
  FtpSettingsDialog(env.st, env.ui);
  ASSERT_EQ(env.ui.questions.size(), 1u);
  EXPECT_EQ(env.ui.questions[0].rfind("FTP - Einstellungen|Mit FTP gehen Benutzername und "
                                      "Passwort unverschlüsselt",
                                      0),
            0u)
      << env.ui.questions[0];
  EXPECT_EQ(env.st.ftp.Password, "") << "not taken";

  env.ui.yes_answer = true;
  env.ui.ftp_dialog = [](FtpDialog& d) {
    d.password = "Geheim7";
    return d.Apply();
  };
  FtpSettingsDialog(env.st, env.ui);
  EXPECT_EQ(env.ui.questions.size(), 2u);
  EXPECT_EQ(env.st.ftp.Password, ScramblePassword("Geheim7"));

  for (const std::string protocol : {"FTPS", "SFTP"}) {
    env.ui.ftp_dialog = [&](FtpDialog& d) {
      d.ChooseProtocol(protocol);
      return d.Apply();
    };
    FtpSettingsDialog(env.st, env.ui);
    EXPECT_EQ(env.st.ftp.Protocol, protocol);
  }
  env.ui.ftp_dialog = [](FtpDialog& d) {
    d.ChooseProtocol("FTP");
    d.password.clear();
    return d.Apply();
  };
  FtpSettingsDialog(env.st, env.ui);
  EXPECT_EQ(env.st.ftp.Protocol, "");
  EXPECT_EQ(env.ui.questions.size(), 2u) << "asked only for plain FTP with a password";
  EXPECT_EQ(applies, 1);
}

TEST(FtpDialog, TheKeyFilePickerStartsBesideTheCurrentKey) {
  BuilderEnv env;
  env.st.ftp.KeyFile = "C:\\Keys\\publish_ed25519";
  FtpDialog d(env.st, env.ui);
  d.PickKeyFile();  // cancelled
  EXPECT_EQ(d.key_file, "C:\\Keys\\publish_ed25519");
  env.ui.file_answer = "D:\\Neu\\id_ed25519";
  d.PickKeyFile();
  EXPECT_EQ(d.key_file, "D:\\Neu\\id_ed25519");
  ASSERT_EQ(env.ui.pickers.size(), 2u);
  EXPECT_EQ(env.ui.pickers[0],
            "Bitte wählen Sie den privaten Schlüssel für SFTP aus! @ C:\\Keys\\ | Alle Dateien|*.*");
}

// Files of older builders have none of the new members and are plain FTP;
// a plain FTP record is written as they wrote it, so they read it alike.
TEST(FtpSettings, OldFilesArePlainFtpAndPlainRecordsAreWrittenAsBefore) {
  FTPStructure old;
  ASSERT_TRUE(FromJson(R"({"Server": "s", "Port": 0, "StartDir": "", "Login": "l",)"
                       R"( "Password": "x"})",
                       &old));
  ServerLogin login;
  ASSERT_TRUE(LoginOf(old, &login));
  EXPECT_EQ(login.protocol, TransferProtocol::kFtp);
  EXPECT_EQ(DefaultPort(login.protocol), 21);
  EXPECT_EQ(ToJson(old), R"({"Server": "s", "Port": 0, "StartDir": "", "Login": "l", )"
                         R"("Password": "x"})");
  old.Protocol = "SFTP";
  old.Fingerprint = kKeyA;
  FTPStructure back;
  ASSERT_TRUE(FromJson(ToJson(old), &back));
  EXPECT_EQ(back, old);
  old.Protocol = "Gopher";  // a later builder's: never sent as something else
  EXPECT_FALSE(LoginOf(old, &login));
}

TEST_F(Upload, AFirstHostKeyIsStoredOnlyWhenThePublisherAcceptsIt) {
  env.st.ftp.Protocol = "SFTP";
  ftp.host_key = kKeyA;
  env.ui.accepted_host_key = kKeyB;  // not the one shown
  UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.outcome, UploadResult::kIdentityRefused);
  EXPECT_EQ(r.presented_key, kKeyA);
  EXPECT_EQ(env.ui.host_key_asks, 1);
  EXPECT_EQ(env.st.ftp.Fingerprint, "");
  EXPECT_TRUE(ftp.Placing().empty());
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_NE(env.ui.messages[0].text.find(kKeyA), std::string::npos) << env.ui.messages[0].text;

  env.ui.accepted_host_key = kKeyA;
  env.ui.messages.clear();
  r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(env.st.ftp.Fingerprint, kKeyA);
  FTPStructure saved;
  ASSERT_TRUE(LoadDocument(env.base() + "Quastorell.cfg", &saved));
  EXPECT_EQ(saved.Fingerprint, kKeyA) << "kept for the next start";

  // A changed key is never asked about: it is refused, whatever is accepted.
  ftp.host_key = kKeyB;
  env.ui.accepted_host_key = kKeyB;
  env.ui.messages.clear();
  ftp.log.clear();
  r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.outcome, UploadResult::kIdentityRefused);
  EXPECT_EQ(env.ui.host_key_asks, 2);
  EXPECT_EQ(env.st.ftp.Fingerprint, kKeyA);
  EXPECT_TRUE(ftp.Placing().empty());
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_NE(env.ui.messages[0].text.find("anderen Schlüssel"), std::string::npos);
}

}  // namespace
}  // namespace quasto

namespace quasto {
namespace {

// Marks every published file as pending again, as a new generation of the
// same content does.
void MarkAll(BuilderState& st) {
  for (auto& [key, e] : st.manifest) e.Update = 1;
}

TEST_F(Upload, WhatTheServerHoldsIsNotSentAgainAndWhatNoManifestNeedsGoes) {
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  const std::string a = ftp.sent["a[txt].uzf"];

  // The same content again: only the manifest travels.
  MarkAll(env.st);
  ftp.log.clear();
  UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.sent, 0);
  EXPECT_EQ(r.already_there, 2);
  EXPECT_EQ(ftp.Placing(), (std::vector<std::string>{"stor Quastorell.uif.~qup",
                                                     "rename Quastorell.uif.~qup Quastorell.uif"}));
  EXPECT_EQ(env.st.manifest["a.txt"].Update, 0) << "counts as published";

  // A file the server lost, or holds in another size, goes again.
  ftp.sent["a[txt].uzf"] = "cut";
  MarkAll(env.st);
  ftp.log.clear();
  r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.sent, 1);
  EXPECT_EQ(ftp.sent["a[txt].uzf"], a);

  // Another server knows nothing of what this one holds.
  env.st.ftp.Server = "mirror.example";
  MarkAll(env.st);
  r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.sent, 2);
  env.st.ftp.Server = "ftp.example";

  // b leaves the set: its packed file goes, but only after the new
  // manifest is in place, and with two manifests kept only one release
  // later.
  env.st.keep_manifests = 2;
  env.st.manifest.erase("sub\\b.txt");
  env.st.file_list.clear();
  ftp.log.clear();
  r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_TRUE(r.ok());
  EXPECT_TRUE(r.removed.empty()) << "the previous manifest still needs it";
  EXPECT_EQ(ftp.sent.count("{sub}b[txt].uzf"), 1u);
  ftp.log.clear();
  ftp.refused_dele = {"{sub}b[txt].uzf"};
  r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_TRUE(r.ok()) << "a failed deletion never fails the publication";
  EXPECT_EQ(r.not_removed, std::vector<std::string>{"{sub}b[txt].uzf"});
  ASSERT_FALSE(env.ui.messages.empty());
  EXPECT_NE(env.ui.messages.back().text.find("nicht gelöscht"), std::string::npos);
  ftp.refused_dele.clear();
  ftp.log.clear();
  r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.removed, std::vector<std::string>{"{sub}b[txt].uzf"}) << "tried again";
  EXPECT_EQ(ftp.sent.count("{sub}b[txt].uzf"), 0u);
  // The manifest went before anything was removed.
  const auto renamed = std::find(ftp.log.begin(), ftp.log.end(),
                                 "rename Quastorell.uif.~qup Quastorell.uif");
  const auto deleted = std::find(ftp.log.begin(), ftp.log.end(), "dele {sub}b[txt].uzf");
  EXPECT_LT(renamed, deleted);
  EXPECT_EQ(ftp.sent.count("a[txt].uzf"), 1u);
  EXPECT_EQ(ftp.sent.count("Quastorell.uif"), 1u);
}

// A run killed just after a file was renamed into place leaves the record as
// it was on disk then. It must not say the server holds the file's old
// content: a later release with that content again, of the same size, would
// never be sent, and its clients would fetch the other.
TEST_F(Upload, ARunKilledAfterARenameLeavesNoRecordOfTheOldContent) {
  const std::string record_path = env.base() + "Projects\\Demo\\" + kPublishedRecordFile;
  const std::string pack = env.base() + "Upload\\Demo\\a[txt].uzf";
  auto release = [&](const std::string& content) {
    env.dir.Write("src\\a.txt", content);
    ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
    ASSERT_TRUE(GenerateUpdate(env.st, env.ui).ok());
  };
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  const std::string first = ftp.sent["a[txt].uzf"];
  release("alphb");
  ASSERT_EQ(fs::FileSize(pack), static_cast<int64_t>(first.size()));
  std::string on_disk;
  ftp.after_rename = [&](const std::string& to) {
    if (to == "a[txt].uzf") fs::ReadFile(record_path, &on_disk);
  };
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  ftp.after_rename = nullptr;
  ASSERT_FALSE(on_disk.empty());
  // The kill: the record stays as it was at the rename.
  ASSERT_TRUE(fs::WriteFile(record_path, on_disk));
  release("alpha");
  ASSERT_EQ(env.dir.Read("base\\Upload\\Demo\\a[txt].uzf"), first);
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  EXPECT_EQ(ftp.sent["a[txt].uzf"], first);
}

TEST_F(Upload, PatchesGoWithTheirFileBeforeTheManifestAndLeaveWithIt) {
  std::mt19937 gen(5);
  std::string program(60000, '\0');
  for (char& c : program) c = static_cast<char>(gen());
  auto release = [&](const std::string& version) {
    env.dir.Write("src\\a.txt", program);
    EXPECT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
    env.ui.SetVersionText(version);
    EXPECT_TRUE(GenerateUpdate(env.st, env.ui).ok());
    ftp.log.clear();
  };
  release("1");
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  program[100] ^= 1;
  release("2");
  ASSERT_EQ(env.st.manifest["a.txt"].Patches.size(), 1u);
  const std::string from1 = env.st.manifest["a.txt"].Patches[0].Pack;

  // A patch the server refuses holds the manifest back like its file.
  ftp.refused_stor = {from1 + ".~qup"};
  UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.failed, std::vector<std::string>{"a.txt"});
  EXPECT_EQ(env.st.manifest["a.txt"].Update, 1);
  EXPECT_EQ(ftp.log.end(), std::find(ftp.log.begin(), ftp.log.end(), "stor Quastorell.uif.~qup"));
  ftp.refused_stor.clear();
  ftp.log.clear();
  r = UploadUpdateSet(env.st, env.ui, ftp);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.patches_sent, 1);
  // The packed file arrived the first time; only the patch goes again.
  EXPECT_EQ(ftp.Placing(), (std::vector<std::string>{
                               "stor " + from1 + ".~qup", "rename " + from1 + ".~qup " + from1,
                               "stor Quastorell.uif.~qup",
                               "rename Quastorell.uif.~qup Quastorell.uif"}));
  EXPECT_EQ(ftp.sent[from1], env.dir.Read("base\\Upload\\Demo\\" + from1));

  // Three more releases: the patch from version 1 leaves the server once no
  // manifest names it (three kept contents: 2, 3 and 4 are the bases of 5).
  for (const char* v : {"3", "4", "5"}) {
    program[200] ^= 1;
    program[static_cast<size_t>(300 + v[0])] ^= 1;
    release(v);
    ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok()) << v;
  }
  EXPECT_EQ(env.st.manifest["a.txt"].Patches.size(), 3u);
  EXPECT_EQ(ftp.sent.count(from1), 0u);
  for (const PatchRef& p : env.st.manifest["a.txt"].Patches) {
    EXPECT_EQ(ftp.sent[p.Pack], env.dir.Read("base\\Upload\\Demo\\" + p.Pack));
  }
}

// A patch in the target folder that is not the one its entry names (cut
// short, changed by hand, an older patch from the same base left by a rename
// that failed) is never published with a manifest that vouches for it.
TEST_F(Upload, APatchThatDisagreesWithTheManifestIsRefused) {
  std::mt19937 gen(9);
  std::string program(60000, '\0');
  for (char& c : program) c = static_cast<char>(gen());
  env.dir.Write("src\\a.txt", program);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  ASSERT_TRUE(GenerateUpdate(env.st, env.ui).ok());
  ASSERT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  program[100] ^= 1;
  env.dir.Write("src\\a.txt", program);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  ASSERT_TRUE(GenerateUpdate(env.st, env.ui).ok());
  ASSERT_EQ(env.st.manifest["a.txt"].Patches.size(), 1u);
  const std::string patch = env.base() + "Upload\\Demo\\" + env.st.manifest["a.txt"].Patches[0].Pack;
  std::string good;
  ASSERT_TRUE(fs::ReadFile(patch, &good));
  for (const std::string& bad : {good.substr(0, good.size() - 1),
                                 good.substr(0, good.size() - 1) + char(good.back() ^ 1)}) {
    ASSERT_TRUE(fs::WriteFile(patch, bad));
    ftp.log.clear();
    env.ui.messages.clear();
    const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
    EXPECT_EQ(r.outcome, UploadResult::kMismatched) << bad.size();
    EXPECT_TRUE(ftp.log.empty()) << "not even connected";
    ASSERT_EQ(env.ui.messages.size(), 1u);
    EXPECT_NE(env.ui.messages[0].text.find("  a.txt (Patch "), std::string::npos)
        << env.ui.messages[0].text;
  }
  ASSERT_TRUE(fs::WriteFile(patch, good));
  EXPECT_TRUE(MismatchedPacks(env.st).empty());
  EXPECT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
}

// A server whose file system ignores letter case holds one file for two
// spellings: a recorded name that a kept manifest names in another spelling
// is that manifest's file, and stays.
TEST(PublishedRecord, NoFileGoesThatAKeptManifestNamesInAnotherSpelling) {
  PublishedRecord record;
  record.files = {{"Readme[txt].uzf", std::string(64, 'a')},
                  {"README[txt].uzf", std::string(64, 'b')},
                  {"old[txt].uzf", std::string(64, 'c')}};
  EXPECT_EQ(record.Publish({"README[txt].uzf", "Quastorell.uif"}, 1),
            std::vector<std::string>{"old[txt].uzf"});
}

TEST(PublishedRecord, ReadsBackWhatItWroteAndTrustsNothingElse) {
  testing::TempDir dir;
  const std::string path = dir / "Quastorell.sent";
  PublishedRecord record;
  record.destination = "SFTP u@h:22 /www | demo";
  record.files["a b[txt].uzf"] = std::string(64, 'a');
  record.kept = {{"a b[txt].uzf", "Quastorell.uif"}, {"old[txt].uzf"}};
  ASSERT_TRUE(SavePublishedRecord(path, record));
  PublishedRecord back = LoadPublishedRecord(path, record.destination);
  EXPECT_EQ(back.files, record.files);
  EXPECT_EQ(back.kept, record.kept);
  EXPECT_TRUE(LoadPublishedRecord(path, "SFTP u@h:22 /www | other").files.empty());
  std::string text;
  ASSERT_TRUE(fs::ReadFile(path, &text));
  ASSERT_TRUE(fs::WriteFile(path, text.substr(0, text.size() - 30)));
  EXPECT_TRUE(LoadPublishedRecord(path, record.destination).files.empty())
      << "a cut record is no record";
  EXPECT_NE(DestinationOf(FTPStructure{"h", 21, "/a", "u", "", "", "", "", ""}, "d"),
            DestinationOf(FTPStructure{"h", 21, "/a", "u", "", "SFTP", "", "", ""}, "d"));
  // Port 0 is the protocol's own: the settings window shows it as that
  // port and saves it so, and the server stays the one the record knows.
  EXPECT_EQ(DestinationOf(FTPStructure{"h", 0, "/a", "u", "", "SFTP", "", "", ""}, "d"),
            DestinationOf(FTPStructure{"h", 22, "/a", "u", "", "SFTP", "", "", ""}, "d"));
  EXPECT_EQ(DestinationOf(FTPStructure{"h", 0, "/a", "u", "", "", "", "", ""}, "d"),
            DestinationOf(FTPStructure{"h", 21, "/a", "u", "", "", "", "", ""}, "d"));
}

}  // namespace
}  // namespace quasto
