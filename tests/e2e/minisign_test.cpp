// Keys and signatures move between this kit and Debian's minisign tool in
// both directions: what the builder signs, the tool verifies; keys the tool
// makes, the builder signs with; what the tool signs, the client accepts.
#include <gtest/gtest.h>

#include <sstream>

#include "builder/cli.h"
#include "client/manifest_trust.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/signature.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto {
namespace {

using testing::RunProgram;
using testing::TempDir;

constexpr char kMinisign[] = "/usr/bin/minisign";

class Minisign : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FileExists(kMinisign) == 0) GTEST_SKIP() << "minisign is not installed";
    dir_.Write("src\\app.exe", "MZ program");
  }
  int Builder(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out;
    args.insert(args.begin(), {"--base", dir_ / "base"});
    const int rc = RunBuilderCli(args, in, out, out, false);
    said_ = out.str();
    return rc;
  }
  // `minisign -V` on the update set's manifest with the base folder's key.
  int ToolVerifies() {
    std::string out;
    return RunProgram({kMinisign, "-V", "-m", dir_ / "base/Upload/Demo/Quastorell.uif", "-p",
                       dir_ / "base/Quastorell.pub"},
                      &out);
  }
  void Publish() {
    ASSERT_EQ(Builder({"new", "Demo", "--source", dir_ / "src", "--url", "http://x/"}), 0)
        << said_;
    ASSERT_EQ(Builder({"generate", "Demo"}, key_password_), 0) << said_;
  }

  TempDir dir_;
  std::string said_;
  std::string key_password_;
};

TEST_F(Minisign, TheToolVerifiesWhatTheBuilderSigns) {
  ASSERT_EQ(Builder({"keygen"}), 0) << said_;
  Publish();
  EXPECT_EQ(ToolVerifies(), 0);
  std::string manifest = dir_.Read("base\\Upload\\Demo\\Quastorell.uif");
  manifest.back() ^= 1;
  dir_.Write("base\\Upload\\Demo\\Quastorell.uif", manifest);
  EXPECT_NE(ToolVerifies(), 0) << "and refuses what was changed";
}

TEST_F(Minisign, TheBuilderSignsWithTheToolsKeysPlainOrEncrypted) {
  fs::MakeDirectory(dir_ / "base");
  std::string out;
  ASSERT_EQ(RunProgram({kMinisign, "-G", "-W", "-p", dir_ / "base/Quastorell.pub", "-s",
                        dir_ / "base/Quastorell.key"},
                       &out),
            0)
      << out;
  Publish();
  EXPECT_EQ(ToolVerifies(), 0);

  // The tool's own encrypted key, with its default (large) scrypt settings.
  fs::RemoveFile(dir_ / "base/Quastorell.pub");
  fs::RemoveFile(dir_ / "base/Quastorell.key");
  ASSERT_EQ(RunProgram({kMinisign, "-G", "-p", dir_ / "base/Quastorell.pub", "-s",
                        dir_ / "base/Quastorell.key"},
                       &out, "geheim\ngeheim\n"),
            0)
      << out;
  EXPECT_NE(Builder({"sign", "Demo", "--password-stdin"}, "falsch\n"), 0);
  EXPECT_NE(ToolVerifies(), 0) << "still signed by the old key";
  ASSERT_EQ(Builder({"sign", "Demo", "--password-stdin"}, "geheim\n"), 0) << said_;
  EXPECT_EQ(ToolVerifies(), 0);
}

TEST_F(Minisign, TheClientAcceptsWhatTheToolSigns) {
  fs::MakeDirectory(dir_ / "data");
  std::string out;
  ASSERT_EQ(RunProgram({kMinisign, "-G", "-W", "-p", dir_ / "data/Quastorell.pub", "-s",
                        dir_ / "key"},
                       &out),
            0)
      << out;
  const std::string manifest = "{\"a.txt\": {\"Name\": \"a.txt\"}}";
  dir_.Write("Quastorell.uif", manifest);
  // The tool's default trusted comment: timestamp, file name, "hashed".
  ASSERT_EQ(RunProgram({kMinisign, "-S", "-s", dir_ / "key", "-m", dir_ / "Quastorell.uif"}, &out),
            0)
      << out;
  const std::string sig = dir_.Read("Quastorell.uif.minisig");
  const int64_t now = fs::ClockNowNs() / 1000000000;
  EXPECT_EQ(client::CheckManifestSignature(dir_ / "data/", manifest, sig, now), "");
  EXPECT_NE(client::CheckManifestSignature(dir_ / "data/", manifest + " ", sig, now), "");
}

}  // namespace
}  // namespace quasto
