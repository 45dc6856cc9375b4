// Signed updates against a real local web server: an installation that
// ships the publisher's public key installs and runs only what that key
// signed, never an older manifest and never an expired one.
#include <gtest/gtest.h>

#include <algorithm>

#include "client/manifest_trust.h"
#include "client/recording_view.h"
#include "client/site_fixture.h"
#include "client/test_site.h"
#include "client/updater.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/signature.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto::client {
namespace {

using testing::ServerProcess;
using testing::TempDir;


int64_t Now() { return fs::ClockNowNs() / 1000000000; }

class SignedUpdateTest : public SiteFixture {
 protected:
  SignedUpdateTest() {
    GenerateKeyPair(&pub_, &secret_);
    install_.Write("Quasto\\Quastorell.pub", PublicKeyFileText(pub_));
  }

  UpdFileStructure& Publish(const std::string& name, const std::string& content,
                            int32_t flags = 0) {
    return PublishHashed(site_, &manifest_, "", name, content, kNew, flags);
  }

  // The manifest and its signature on the server, as the builder publishes.
  void Sign(int64_t timestamp, std::optional<int64_t> expires = std::nullopt,
            const SecretKey* key = nullptr, const std::string& project = "") {
    text_ = ToJson(manifest_);
    site_.Write("Quastorell.uif", text_);
    site_.Write("Quastorell.uif.minisig",
                SignMessage(text_, key ? *key : secret_,
                            MakeTrustedComment(timestamp, "Quastorell.uif", expires, project)));
  }

  void Run() {
    log_before_ = install_.Read("Quasto\\Quastorell.log");
    view_ = RecordingView();
    RunWithButton();
  }

  // Refused as a whole: the ErrSignature box, nothing applied or logged.
  void ExpectRefused(const std::string& reason_start) {
    EXPECT_EQ(outcome_.signature_failure.rfind(reason_start, 0), 0u)
        << outcome_.signature_failure;
    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0].title, " Tool 2.0");
    EXPECT_EQ(view_.messages[0].text,
              "Die Update-Informationen sind nicht vom Herausgeber signiert.\n"
              "Aktualisierung wird abgebrochen.  ");
    EXPECT_EQ(view_.messages[0].icon, kIconError);
    EXPECT_TRUE(view_.closed);
    EXPECT_FALSE(outcome_.applied);
    EXPECT_EQ(install_.Read("Quasto\\Quastorell.log"), log_before_);
  }

  PublicKey pub_;
  SecretKey secret_;
  std::string text_;
  std::string log_before_;
};

TEST_F(SignedUpdateTest, ASignedUpdateIsAppliedAndItsTimestampRemembered) {
  install_.Write("app.exe", "version 1");
  fs::SetFileDate(install_ / "app.exe", kOld);
  Publish("app.exe", "version 2");
  const int64_t signed_at = Now() - 60;
  Sign(signed_at);
  Run();
  EXPECT_EQ(outcome_.signature_failure, "");
  EXPECT_TRUE(outcome_.applied);
  EXPECT_EQ(outcome_.failures, 0);
  EXPECT_EQ(install_.Read("app.exe"), "version 2");
  EXPECT_EQ(install_.Read("Quasto\\Quastorell.state"),
            "timestamp:" + std::to_string(signed_at) + "\n");
}

TEST_F(SignedUpdateTest, AlteredMissingOrForeignSignaturesChangeNothing) {
  install_.Write("app.exe", "version 1");
  fs::SetFileDate(install_ / "app.exe", kOld);
  Publish("app.exe", "version 2");

  Sign(Now());
  std::string tampered = text_;
  tampered[10] ^= 1;
  site_.Write("Quastorell.uif", tampered);
  Run();
  ExpectRefused("the signature does not match the manifest");

  PublicKey other_pub;
  SecretKey other;
  GenerateKeyPair(&other_pub, &other);
  Sign(Now(), std::nullopt, &other);
  Run();
  ExpectRefused("signed by another key");

  Sign(Now());
  const std::string sig = site_.Read("Quastorell.uif.minisig");
  site_.Write("Quastorell.uif.minisig", sig.substr(0, sig.size() / 2));
  Run();
  ExpectRefused("not a signature file");

  site_.Write("Quastorell.uif.minisig", "\x89PNG garbage\n\x00\x01");
  Run();
  ExpectRefused("not a signature file");

  fs::RemoveFile(site_ / "Quastorell.uif.minisig");
  Run();
  ExpectRefused("no signature on the server");

  // An installed key that cannot be read is no reason to trust anything.
  install_.Write("Quasto\\Quastorell.pub", "garbage");
  Sign(Now());
  Run();
  ExpectRefused("the installed public key");
  EXPECT_EQ(install_.Read("app.exe"), "version 1");
}

// A server that fails to send the signature, or a connection that breaks
// in it, says nothing of the manifest: the run ends as one that could not
// fetch it (and a later run tries again), not as one that found it forged.
// A server that answers that it has no signature refuses it.
TEST_F(SignedUpdateTest, ASignatureTheServerFailsToSendIsNoVerdict) {
  install_.Write("app.exe", "version 1");
  fs::SetFileDate(install_ / "app.exe", kOld);
  Publish("app.exe", "version 2");
  Sign(Now());
  const std::string sig = "Quastorell.uif.minisig";
  for (const auto& fault : std::vector<std::vector<std::string>>{
           {"--status", "503:" + sig}, {"--cut", "50:" + sig}, {"--status", "404:" + sig}}) {
    SCOPED_TRACE(fault[0] + " " + fault[1]);
    std::vector<std::string> args = {"--root", site_.path()};
    args.insert(args.end(), fault.begin(), fault.end());
    ServerProcess failing("http_server.py", args);
    ctx_.config.URL = failing.http_url();
    Run();
    EXPECT_FALSE(outcome_.applied);
    EXPECT_EQ(install_.Read("app.exe"), "version 1");
    if (fault[1].rfind("404", 0) == 0) {
      ExpectRefused("no signature on the server");
      continue;
    }
    EXPECT_EQ(outcome_.signature_failure, "");
    EXPECT_FALSE(outcome_.manifest_fetched);
    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_NE(view_.messages[0].text.find("Internetadresse (URL)"), std::string::npos)
        << view_.messages[0].text;
  }
}

TEST_F(SignedUpdateTest, OlderAndExpiredManifestsAreRefused) {
  install_.Write("app.exe", "version 1");
  fs::SetFileDate(install_ / "app.exe", kOld);
  Publish("app.exe", "version 1");
  Sign(Now() - 1000);
  const std::string old_manifest = text_;
  const std::string old_sig = site_.Read("Quastorell.uif.minisig");
  Run();  // current: nothing to do, but the timestamp is taken
  EXPECT_EQ(outcome_.signature_failure, "");
  EXPECT_EQ(outcome_.actions, 0);

  Publish("app.exe", "version 2");
  Sign(Now() - 10);
  Run();
  EXPECT_EQ(install_.Read("app.exe"), "version 2");

  // The old, validly signed pair replayed, say to bring back a vulnerable
  // version: refused.
  site_.Write("Quastorell.uif", old_manifest);
  site_.Write("Quastorell.uif.minisig", old_sig);
  Run();
  ExpectRefused("the manifest is older");
  EXPECT_EQ(install_.Read("app.exe"), "version 2");

  // The same timestamp again is fine; an expired signature is not.
  Sign(Now() - 10);
  Run();
  EXPECT_EQ(outcome_.signature_failure, "");
  Sign(Now(), Now() - 1);
  Run();
  ExpectRefused("the manifest expired");
  Sign(Now(), Now() + 3600);
  Run();
  EXPECT_EQ(outcome_.signature_failure, "");
}

TEST_F(SignedUpdateTest, OnlyVerifiedContentIsInstalledOrRun) {
  install_.Write("tool.exe", "old tool");
  fs::SetFileDate(install_ / "tool.exe", kOld);
  // A swapped packed file with the right CRC-32: its content is not the
  // signed hash.
  UpdFileStructure& lib = Publish("lib.dll", "evil lib");
  lib.SHA256 = Sha256Hex("good lib");
  // A program to run whose download fails its check: the old file that is
  // still there must not run either.
  UpdFileStructure& tool = Publish("tool.exe", "evil tool", kFlagRun);
  tool.SHA256 = Sha256Hex("good tool");
  // No hash: a signed manifest names no content for it.
  UpdFileStructure& bare = PublishFile(site_, &manifest_, "", "bare.txt", "anything", kNew);
  bare.SHA256.clear();
  // A good program to run.
  install_.Write("setup.sh", "#!/bin/sh\necho ran > ran.txt\n");
  PublishHashed(site_, &manifest_, "", "setup.sh", "#!/bin/sh\necho ran > ran.txt\n", kNew,
                kFlagRun);
  Sign(Now());
  Run();
  EXPECT_EQ(outcome_.signature_failure, "");
  EXPECT_EQ(FileExists(install_ / "lib.dll"), 0);
  EXPECT_EQ(install_.Read("tool.exe"), "old tool");
  EXPECT_EQ(FileExists(install_ / "bare.txt"), 0);
  EXPECT_EQ(install_.Read("ran.txt"), "ran\n") << "current by its hash: it runs";
  const std::string log = install_.Read("Quasto\\Quastorell.log");
  EXPECT_NE(log.find("-> Update Error: bare.txt (it has no SHA256, which a signed manifest must "
                     "give)\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("-> Update Error: lib.dll\n"), std::string::npos) << log;
  EXPECT_NE(log.find("-> Update Error: tool.exe\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("-> Run: tool.exe"), std::string::npos) << log;
  EXPECT_NE(log.find("-> Run: setup.sh"), std::string::npos) << log;
  EXPECT_EQ(outcome_.failures, 3) << "two files and the program not run; a refused entry is no action";
}

// One key signs every project of a publisher. An installation that knows its
// project's identity takes only that project's signed manifests: project
// B's set served at A's address would replace A's program with B's, and A's
// at B's address B's with A's. An installation made before projects had an
// identity takes any manifest the key signed, as it always did.
TEST_F(SignedUpdateTest, AnotherProjectsSignedSetIsRefused) {
  const std::string a(32, 'a'), b(32, 'b');
  install_.Write("app.exe", "A version 1");
  fs::SetFileDate(install_ / "app.exe", kOld);
  Publish("app.exe", "B's program");
  for (const auto& [installed, signed_for] :
       std::vector<std::pair<std::string, std::string>>{{a, b}, {b, a}, {a, ""}}) {
    ctx_.config.ProjectId = installed;
    Sign(Now(), std::nullopt, nullptr, signed_for);
    Run();
    ExpectRefused(signed_for.empty() ? "the manifest is signed for no project (this is project " +
                                           installed + ")"
                                     : "the manifest is signed for another project (" +
                                           signed_for + ", this is project " + installed + ")");
    EXPECT_EQ(install_.Read("app.exe"), "A version 1");
    EXPECT_EQ(FileExists(install_ / "Quasto\\Quastorell.state"), 0) << "nothing recorded";
  }
  // Its own project's manifest is taken.
  ctx_.config.ProjectId = a;
  Sign(Now(), std::nullopt, nullptr, a);
  Run();
  EXPECT_EQ(outcome_.signature_failure, "");
  EXPECT_EQ(install_.Read("app.exe"), "B's program");

  // An installation without an identity: as before.
  install_.Write("app.exe", "A version 1");
  fs::SetFileDate(install_ / "app.exe", kOld);
  ctx_.config.ProjectId.clear();
  Sign(Now(), std::nullopt, nullptr, b);
  Run();
  EXPECT_EQ(outcome_.signature_failure, "");
  EXPECT_EQ(install_.Read("app.exe"), "B's program");
}

// A valid signature over bytes that are no one complete manifest vouches
// for nothing the client could act on: a manifest error, never "nothing to
// do" while the signed update waits.
TEST_F(SignedUpdateTest, BytesAfterTheSignedJsonAreAManifestError) {
  install_.Write("app.exe", "version 1");
  fs::SetFileDate(install_ / "app.exe", kOld);
  Publish("app.exe", "version 2");
  text_ = ToJson(manifest_) + std::string("\n\0trailer", 9);
  site_.Write("Quastorell.uif", text_);
  site_.Write("Quastorell.uif.minisig",
              SignMessage(text_, secret_, MakeTrustedComment(Now(), "Quastorell.uif", {})));
  Run();
  EXPECT_EQ(outcome_.signature_failure, "");
  EXPECT_EQ(outcome_.manifest_error,
            "there are bytes after the JSON value (at byte " +
                std::to_string(ToJson(manifest_).size() + 1) + ")");
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text.rfind("Die Update-Informationen sind besch", 0), 0u);
  EXPECT_FALSE(outcome_.applied);
  EXPECT_EQ(install_.Read("app.exe"), "version 1");
}

// A folder in place of the state blocks every write of it for good: from
// then on an older manifest would be taken. The run says so, in its log and
// on the console, and never passes for one with rollback protection.
TEST_F(SignedUpdateTest, AStateThatCannotBeWrittenIsSaid) {
  ASSERT_TRUE(fs::MakeDirectory(install_ / "Quasto\\Quastorell.state"));
  install_.Write("app.exe", "version 1");
  fs::SetFileDate(install_ / "app.exe", kOld);
  Publish("app.exe", "version 2");
  Sign(Now());
  Run();
  EXPECT_EQ(outcome_.signature_failure, "");
  EXPECT_EQ(outcome_.state_problem, "Quastorell.state cannot be written");
  EXPECT_EQ(install_.Read("app.exe"), "version 2");
  const std::string said =
      "Quastorell.state cannot be written: a manifest older than this one would not be refused "
      "next time";
  EXPECT_NE(std::find(view_.details.begin(), view_.details.end(), said), view_.details.end());
  const std::string log = install_.Read("Quasto\\Quastorell.log");
  EXPECT_NE(log.find("-> Warning: " + said + "\n"), std::string::npos) << log;

  // Nothing to do: the log says it all the same.
  fs::RemoveFile(install_ / "Quasto\\Quastorell.log");
  Run();
  EXPECT_EQ(outcome_.actions, 0);
  EXPECT_EQ(outcome_.state_problem, "Quastorell.state cannot be written");
  EXPECT_NE(install_.Read("Quasto\\Quastorell.log").find("-> Warning: " + said),
            std::string::npos);
}

TEST_F(SignedUpdateTest, WithoutAnInstalledKeyNothingIsAsked) {
  fs::RemoveFile(install_ / "Quasto\\Quastorell.pub");
  Publish("app.exe", "version 2");
  site_.Write("Quastorell.uif", ToJson(manifest_));  // no signature at all
  Run();
  EXPECT_EQ(outcome_.signature_failure, "");
  EXPECT_EQ(install_.Read("app.exe"), "version 2");
  EXPECT_EQ(FileExists(install_ / "Quasto\\Quastorell.state"), 0);
}

TEST(ManifestTrust, AStateFileThatIsNoTimestampCountsAsNone) {
  TempDir dir;
  PublicKey pub;
  SecretKey secret;
  GenerateKeyPair(&pub, &secret);
  dir.Write("Quastorell.pub", PublicKeyFileText(pub));
  dir.Write("Quastorell.state", "timestamp:abc");
  const std::string sig = SignMessage("m", secret, MakeTrustedComment(100, "Quastorell.uif", {}));
  EXPECT_EQ(CheckManifestSignature(dir.path(), "m", sig, 200), "");
  EXPECT_EQ(dir.Read("Quastorell.state"), "timestamp:100\n");
  const std::string older = SignMessage("m", secret, MakeTrustedComment(99, "Quastorell.uif", {}));
  EXPECT_NE(CheckManifestSignature(dir.path(), "m", older, 200), "");
}

}  // namespace
}  // namespace quasto::client
