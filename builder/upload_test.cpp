#include "builder/upload.h"

#include <gtest/gtest.h>

#include <set>

#include "builder/generation.h"
#include "builder/test_env.h"
#include "shared/folders.h"

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

// An FTP client that records what it is asked and fails on demand.
class FakeFtp : public FtpClient {
 public:
  bool Connect(const std::string& server, int port, const std::string& login,
               const std::string& password) override {
    log.push_back("connect " + server + ":" + std::to_string(port) + " " + login + "/" + password);
    return accept_login;
  }
  bool ChangeDirectory(const std::string& path) override {
    log.push_back("cwd " + path);
    return refused_dir != path;
  }
  bool SendFile(const std::string& local, const std::string& remote) override {
    log.push_back("stor " + remote);
    std::string data;
    if (refused_stor.count(remote) || !fs::ReadFile(local, &data)) return false;
    sent[remote] = data;
    return true;
  }
  void Close() override { log.push_back("quit"); }
  std::string LastError() const override { return "fake"; }

  bool accept_login = true;
  std::string refused_dir = "-";
  std::set<std::string> refused_stor;
  std::vector<std::string> log;
  std::map<std::string, std::string> sent;
};

class Upload : public ::testing::Test {
 protected:
  void SetUp() override {
    env.dir.Write("src\\a.txt", "alpha");
    env.dir.Write("src\\sub\\b.txt", "beta");
    ASSERT_TRUE(env.Create("Demo", true));
    env.st.ftp = {"ftp.example", 2121, "start", "user", ScramblePassword("pw")};
    env.st.network_ready = true;
    ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 2);
    env.ui.messages.clear();
    env.ui.progress.clear();
  }
  BuilderEnv env;
  FakeFtp ftp;
};

TEST_F(Upload, SendsPendingFilesThenTheManifest) {
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(ftp.log, (std::vector<std::string>{"connect ftp.example:2121 user/pw", "cwd start",
                                               "cwd Demo", "stor a[txt].uzf", "stor {sub}b[txt].uzf",
                                               "stor Quastorell.uif", "quit"}));
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
  EXPECT_EQ(ftp.log[3], "stor Quastorell.uif");
}

TEST_F(Upload, FailedFileKeepsItsMarkAndTheManifestIsNotSent) {
  ftp.refused_stor = {"{sub}b[txt].uzf"};
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
  EXPECT_EQ(env.ui.messages[0].text.substr(0, 45), "1 Datei konnte nicht hochgeladen werden.\nDie ");

  // The next upload sends the rest, then the manifest.
  ftp.refused_stor.clear();
  EXPECT_TRUE(UploadUpdateSet(env.st, env.ui, ftp).ok());
  EXPECT_EQ(env.st.manifest["sub\\b.txt"].Update, 0);
}

TEST_F(Upload, RefusedDirectoryChangeSendsNothing) {
  ftp.refused_dir = "Demo";
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.outcome, UploadResult::kDirectoryRefused);
  EXPECT_TRUE(ftp.sent.empty());
  EXPECT_EQ(env.st.manifest["a.txt"].Update, 1);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kError);
  EXPECT_EQ(env.ui.progress.back(), "end");
}

TEST_F(Upload, RefusalsBeforeAnyTransfer) {
  ftp.accept_login = false;
  EXPECT_EQ(UploadUpdateSet(env.st, env.ui, ftp).outcome, UploadResult::kConnectFailed);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text, "Es konnte keine Verbindung zum FTP-Server hergestellt werden.");
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

TEST_F(Upload, ManifestThatCannotBeSentIsReported) {
  ftp.refused_stor = {"Quastorell.uif"};
  const UploadResult r = UploadUpdateSet(env.st, env.ui, ftp);
  EXPECT_EQ(r.sent, 2);
  EXPECT_FALSE(r.ok());
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Die Update-Info \"Quastorell.uif\" konnte nicht hochgeladen werden.");
}

}  // namespace
}  // namespace quasto
