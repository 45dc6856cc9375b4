#include "builder/signing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "builder/cli.h"
#include "builder/generation.h"
#include "builder/test_env.h"
#include "shared/content_hash.h"
#include "shared/folders.h"
#include "shared/fs.h"

namespace quasto {
namespace {

using testing::BuilderEnv;

int Cli(BuilderEnv& env, std::vector<std::string> args, const std::string& input = "",
        std::string* said = nullptr) {
  std::istringstream in(input);
  std::ostringstream out, err;
  args.insert(args.begin(), {"--base", env.base()});
  const int rc = RunBuilderCli(args, in, out, err, false);
  if (said != nullptr) *said = out.str() + err.str();
  return rc;
}

// What a client would check: the update set's manifest, signed by the base
// folder's key.
std::string Verify(BuilderEnv& env, VerifiedSignature* v) {
  PublicKey pub;
  const std::string why = ParsePublicKey(env.dir.Read("base\\Quastorell.pub"), &pub);
  if (!why.empty()) return why;
  return VerifySignature(env.dir.Read("base\\Upload\\Demo\\Quastorell.uif"),
                         env.dir.Read("base\\Upload\\Demo\\Quastorell.uif.minisig"), pub, v);
}

class Signing : public ::testing::Test {
 protected:
  Signing() {
    env.dir.Write("src\\app.exe", "MZ program");
    env.dir.Write("base\\Quastorell.lng", "<L/>");
    env.dir.Write("base\\Quastorell.exe", "client");
  }
  std::string Target(const std::string& rel = "") const {
    return env.base() + "Upload\\Demo\\" + rel;
  }
  BuilderEnv env;
};

TEST_F(Signing, KeygenWritesAPairOnceAndTheGenerationSignsWithIt) {
  std::string said;
  ASSERT_EQ(Cli(env, {"keygen"}, "", &said), kExitOk) << said;
  const std::string secret = env.dir.Read("base\\Quastorell.key");
  EXPECT_FALSE(IsEncryptedSecretKey(secret));
  EXPECT_EQ(Cli(env, {"keygen"}, "", &said), kExitUsage) << "never overwritten";
  EXPECT_NE(said.find("wird nicht überschrieben"), std::string::npos) << said;
  EXPECT_EQ(env.dir.Read("base\\Quastorell.key"), secret);
  if (fs::Separator() == '/') {
    namespace sfs = std::filesystem;
    const sfs::perms p = sfs::status(fs::NativePath(env.base() + "Quastorell.key")).permissions();
    EXPECT_EQ(p & (sfs::perms::group_all | sfs::perms::others_all), sfs::perms::none)
        << "the secret key is the user's alone";
  }

  ASSERT_TRUE(env.Create("Demo"));
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_TRUE(r.ok());
  VerifiedSignature v;
  ASSERT_EQ(Verify(env, &v), "");
  EXPECT_FALSE(v.fields.expires.has_value());
  EXPECT_EQ(env.dir.Read("base\\Upload\\Demo\\Quasto\\Quastorell.pub"),
            env.dir.Read("base\\Quastorell.pub"))
      << "shipped with the program";
  // The published form: what a client can fetch, no pending marks.
  EXPECT_EQ(env.dir.Read("base\\Upload\\Demo\\Quastorell.uif"),
            PublishedManifestText(env.st));
  Manifest published;
  ASSERT_TRUE(LoadDocument(Target(kManifestFile), &published));
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published["app.exe"].Update, 0);
  EXPECT_EQ(env.st.manifest["app.exe"].Update, 1);
  EXPECT_TRUE(SignedManifestIsCurrent(env.st));

  // A rule set afterwards makes the signed manifest stale; `sign` renews it,
  // never with an older timestamp.
  env.st.manifest["app.exe"].Flags = kFlagNoUpdate;
  EXPECT_FALSE(SignedManifestIsCurrent(env.st));
  CloseProject(env.st, env.ui);
  ASSERT_EQ(Cli(env, {"sign", "Demo", "--expires-days", "7"}, "", &said), kExitOk) << said;
  VerifiedSignature renewed;
  ASSERT_EQ(Verify(env, &renewed), "");
  EXPECT_GE(renewed.fields.timestamp, v.fields.timestamp);
  ASSERT_TRUE(renewed.fields.expires.has_value());
  EXPECT_EQ(*renewed.fields.expires - renewed.fields.timestamp, 7 * 86400);
  ASSERT_TRUE(LoadDocument(Target(kManifestFile), &published));
  EXPECT_EQ(published["app.exe"].Flags, kFlagNoUpdate);
  EXPECT_EQ(Cli(env, {"sign", "Demo", "--expires-days", "0"}), kExitUsage);
}

TEST_F(Signing, AnEncryptedKeyAsksOnceAndAWrongOneStopsBeforeAnythingIsPacked) {
  std::string said;
  ASSERT_EQ(Cli(env, {"keygen", "--password-stdin"}, "geheim\n", &said), kExitOk) << said;
  EXPECT_TRUE(IsEncryptedSecretKey(env.dir.Read("base\\Quastorell.key")));
  EXPECT_EQ(Cli(env, {"keygen", "--password-stdin"}, "\n"), kExitUsage) << "empty password";
  ASSERT_TRUE(env.Create("Demo"));

  env.ui.key_password = "falsch";
  GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_TRUE(r.signing_failed);
  EXPECT_FALSE(r.ok());
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text, "Das Passwort des Schlüssels ist falsch.");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kError);
  EXPECT_EQ(FileExists(Target("app[exe].uzf")), 0) << "nothing packed";
  EXPECT_EQ(FileExists(Target(kManifestFile)), 0) << "never an unsigned manifest";
  EXPECT_EQ(env.st.manifest["app.exe"].Pack, "");

  env.ui.key_password.reset();  // the dialog cancelled
  env.ui.messages.clear();
  EXPECT_TRUE(GenerateUpdate(env.st, env.ui).signing_failed);
  EXPECT_EQ(env.ui.messages[0].text, "Ohne das Passwort des Schlüssels kann nicht signiert werden.");

  env.ui.key_password = "geheim";
  env.ui.password_asks = 0;
  EXPECT_TRUE(GenerateUpdate(env.st, env.ui).ok());
  VerifiedSignature v;
  EXPECT_EQ(Verify(env, &v), "");
  GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(env.ui.password_asks, 1) << "the password is asked once per run";

  // The command line reads it from standard input.
  CloseProject(env.st, env.ui);
  EXPECT_EQ(Cli(env, {"sign", "Demo", "--password-stdin"}, "geheim\n", &said), kExitOk) << said;
  EXPECT_EQ(Cli(env, {"sign", "Demo", "--password-stdin"}, "nein\n", &said), kExitFailed);
  EXPECT_NE(said.find("Das Passwort des Schlüssels ist falsch."), std::string::npos) << said;
}

TEST_F(Signing, AKeyThatCannotBeReadStopsTheGeneration) {
  ASSERT_EQ(Cli(env, {"keygen"}), kExitOk);
  ASSERT_TRUE(env.Create("Demo"));
  for (const char* broken : {"garbage", ""}) {
    env.dir.Write("base\\Quastorell.key", broken);
    env.ui.messages.clear();
    EXPECT_TRUE(GenerateUpdate(env.st, env.ui).signing_failed) << broken;
    ASSERT_EQ(env.ui.messages.size(), 1u);
    EXPECT_EQ(env.ui.messages[0].caption, "Projekt erstellen");
    EXPECT_NE(env.ui.messages[0].text.find("ist ungültig"), std::string::npos);
  }
  // A key whose public half is gone signs nothing a client could check.
  ASSERT_TRUE(fs::RemoveFile(env.base() + "Quastorell.key"));
  ASSERT_EQ(Cli(env, {"keygen"}), kExitUsage) << "the public key is still there";
  ASSERT_TRUE(fs::RemoveFile(env.base() + "Quastorell.pub"));
  ASSERT_EQ(Cli(env, {"keygen"}), kExitOk);
  ASSERT_TRUE(fs::RemoveFile(env.base() + "Quastorell.pub"));
  env.ui.messages.clear();
  EXPECT_TRUE(GenerateUpdate(env.st, env.ui).signing_failed);
  EXPECT_NE(env.ui.messages[0].text.find("Quastorell.pub"), std::string::npos);
  EXPECT_EQ(FileExists(Target("app[exe].uzf")), 0);
}

TEST_F(Signing, ASecretKeyOthersCanReadIsUsedWithAWarning) {
  ASSERT_EQ(Cli(env, {"keygen"}), kExitOk);
  ASSERT_TRUE(env.Create("Demo"));
  namespace sfs = std::filesystem;
  const sfs::path key(fs::NativePath(env.base() + kSecretKeyFile));
  sfs::permissions(key, sfs::perms::group_read | sfs::perms::others_read, sfs::perm_options::add);
  if (!fs::ReadableByOthers(env.base() + kSecretKeyFile)) {
    GTEST_SKIP() << "no permission bits to check here";
  }
  env.ui.messages.clear();
  EXPECT_TRUE(GenerateUpdate(env.st, env.ui).ok()) << "signed all the same";
  ASSERT_EQ(env.ui.messages.size(), 2u);
  EXPECT_EQ(env.ui.messages[0].caption, "Projekt erstellen");
  EXPECT_EQ(env.ui.messages[0].text,
            "Der geheime Schlüssel \"" + fs::NativePath(env.base() + kSecretKeyFile) +
                "\" ist für andere Benutzer lesbar. Er wird trotzdem verwendet; schützen Sie "
                "ihn (chmod 600).");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kWarning);
  VerifiedSignature v;
  EXPECT_EQ(Verify(env, &v), "");

  sfs::permissions(key, sfs::perms::owner_read | sfs::perms::owner_write);
  env.ui.messages.clear();
  GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(env.ui.messages.size(), 1u) << "the owner's alone: no word";
}

// One key signs every project in the base folder; each project's
// signatures name the project's own identity, a random one made when the
// project is created and shipped in the set's client configuration.
TEST_F(Signing, EachProjectSignsWithItsOwnIdentity) {
  ASSERT_EQ(Cli(env, {"keygen"}), kExitOk);
  ASSERT_TRUE(env.Create("Demo"));
  const std::string demo = env.st.client.ProjectId;
  EXPECT_TRUE(IsSha256Hex(demo + demo)) << demo << ": 32 lower-case hex digits";
  ASSERT_TRUE(GenerateUpdate(env.st, env.ui).ok());
  VerifiedSignature v;
  ASSERT_EQ(Verify(env, &v), "");
  EXPECT_EQ(v.fields.project, demo);
  UpdaterStructure shipped;
  ASSERT_TRUE(LoadDocument(Target("Quasto\\Quastorell.ucf"), &shipped));
  EXPECT_EQ(shipped.ProjectId, demo);

  // Another project, created while Demo was open, is another identity.
  ASSERT_TRUE(env.Create("Other"));
  EXPECT_NE(env.st.client.ProjectId, demo);
  EXPECT_EQ(env.st.client.ProjectId.size(), 32u);

  // A project made before identities existed gets one at its next
  // generation; the signature made without one is stale from then on.
  CloseProject(env.st, env.ui);
  UpdaterStructure old;
  ASSERT_TRUE(LoadDocument(env.base() + "Projects\\Demo\\Quastorell.ucf", &old));
  old.ProjectId.clear();
  ASSERT_TRUE(SaveDocument(env.base() + "Projects\\Demo\\Quastorell.ucf", old));
  ASSERT_EQ(Cli(env, {"sign", "Demo"}), kExitOk);
  ASSERT_EQ(Verify(env, &v), "");
  EXPECT_EQ(v.fields.project, "") << "signed as the installed sets know it";
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  EXPECT_EQ(env.st.client.ProjectId, "");
  ASSERT_TRUE(GenerateUpdate(env.st, env.ui).ok());
  const std::string given = env.st.client.ProjectId;
  EXPECT_EQ(given.size(), 32u);
  ASSERT_EQ(Verify(env, &v), "");
  EXPECT_EQ(v.fields.project, given);
  ASSERT_TRUE(LoadDocument(Target("Quasto\\Quastorell.ucf"), &shipped));
  EXPECT_EQ(shipped.ProjectId, given);
  EXPECT_TRUE(SignedManifestIsCurrent(env.st));
  env.st.client.ProjectId = demo;
  EXPECT_FALSE(SignedManifestIsCurrent(env.st));
}

TEST_F(Signing, WithoutAKeyNothingChanges) {
  ASSERT_TRUE(env.Create("Demo"));
  EXPECT_TRUE(GenerateUpdate(env.st, env.ui).ok());
  EXPECT_EQ(FileExists(Target(kManifestFile)), 0);
  EXPECT_EQ(FileExists(Target("Quastorell.uif.minisig")), 0);
  EXPECT_EQ(FileExists(Target("Quasto\\Quastorell.pub")), 0);
  EXPECT_EQ(env.ui.password_asks, 0);
}

}  // namespace
}  // namespace quasto
