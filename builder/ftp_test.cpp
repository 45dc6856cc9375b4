// Uploads to a real FTP server on 127.0.0.1 (tests/servers/ftp_server.py),
// which a ctest fixture starts before these tests and stops after them.
#include <gtest/gtest.h>

#include <sstream>

#include "builder/cli.h"
#include "builder/ftp_client.h"
#include "builder/generation.h"
#include "builder/test_env.h"
#include "builder/signing.h"
#include "builder/upload.h"
#include "shared/folders.h"
#include "shared/packed_file.h"

namespace quasto {
namespace {

using testing::BuilderEnv;

struct ServerInfo {
  int port = 0;
  std::string root;  // ends in a separator, as this program sees it
};

bool ReadServerInfo(ServerInfo* info) {
  std::string text;
  if (!fs::ReadFile(QUASTO_FTP_INFO, &text)) return false;
  std::istringstream in(text);
  std::string root;
  if (!(in >> info->port >> root)) return false;
  std::string host = QUASTO_HOST_ROOT;
  if (!host.empty()) {
    for (char& c : root) {
      if (c == '/') c = '\\';
    }
  }
  info->root = WithTrailingSeparator(host + root);
  return true;
}

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
    env.st.ftp = {"127.0.0.1", server.port, start_dir, "quasto", ScramblePassword("geheim")};
    env.st.network_ready = InitNetwork();
    ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 3);
    env.ui.messages.clear();
  }
  void TearDown() override {
    if (!remote.empty()) testing::RemoveTree(remote);
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
}

TEST_F(Ftp, RefusedLogin) {
  env.st.ftp.Password = ScramblePassword("falsch");
  auto ftp = MakeFtpClient();
  EXPECT_EQ(UploadUpdateSet(env.st, env.ui, *ftp).outcome, UploadResult::kConnectFailed);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text, "Es konnte keine Verbindung zum FTP-Server hergestellt werden.");
  EXPECT_EQ(env.st.manifest["app.exe"].Update, 1);
}

TEST_F(Ftp, RefusedDirectoryChange) {
  env.st.project.FTPDir = "does-not-exist";
  auto ftp = MakeFtpClient();
  EXPECT_EQ(UploadUpdateSet(env.st, env.ui, *ftp).outcome, UploadResult::kDirectoryRefused);
  std::vector<fs::DirEntry> entries;
  ASSERT_TRUE(fs::ListDirectory(remote, &entries));
  EXPECT_EQ(entries.size(), 1u) << "only the empty Demo folder";
  EXPECT_EQ(env.st.manifest["app.exe"].Update, 1);
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
  EXPECT_EQ(env.ui.messages[0].text.substr(0, 42), "3 Dateien konnten nicht hochgeladen werden");
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

TEST_F(Ftp, CommandLineGeneratesAndUploads) {
  const std::string base = env.dir / "clibase";
  auto run = [&](std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    args.insert(args.begin(), {"--base", base});
    const int rc = RunBuilderCli(args, in, out, err, false);
    return std::make_pair(rc, out.str() + err.str());
  };
  auto [rc1, out1] = run({"ftp", "--server", "127.0.0.1", "--port", std::to_string(server.port),
                          "--start-dir", start_dir, "--login", "quasto", "--password-stdin"},
                         "geheim\n");
  ASSERT_EQ(rc1, kExitOk) << out1;
  FTPStructure stored;
  ASSERT_TRUE(LoadDocument(base + "\\Quastorell.cfg", &stored));
  EXPECT_EQ(stored.Password, ScramblePassword("geheim"));
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
}

}  // namespace
}  // namespace quasto
