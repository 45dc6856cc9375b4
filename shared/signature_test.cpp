#include "shared/signature.h"

#include <gtest/gtest.h>

namespace quasto {
namespace {

// Made by the minisign tool: `minisign -G -W`, then `minisign -S` with a
// trusted comment of ours, and `minisign -S -l` (legacy, not prehashed).
constexpr char kToolPublicKey[] =
    "untrusted comment: minisign public key D1843275079C3E7E\n"
    "RWR+PpwHdTKE0YMqRhT3te2gGEpQip7u5N2e3b4IoaF8cXlJark+XcLE\n";
constexpr char kToolSecretKey[] =
    "untrusted comment: minisign encrypted secret key\n"
    "RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAfj6cB3UyhNH1JZJwn8Qoyp"
    "OW/B+xLdLKsvsMnxmwU/CKRBfbC2bO/oMqRhT3te2gGEpQip7u5N2e3b4IoaF8cXlJark+XcLEAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAA=\n";
constexpr char kMessage[] = "quastorell manifest bytes";
constexpr char kToolSignature[] =
    "untrusted comment: signature from minisign secret key\n"
    "RUR+PpwHdTKE0WPHIyz9j0kwci+9Xxf7ufXzWpvy9PoRYOHwpTGiUKggeLWs4IkyZotnH6j9Loqxk36t3ZmVB/AmneXYAR"
    "i2DA8=\n"
    "trusted comment: timestamp:1700000000\tfile:Quastorell.uif\texpires:1800000000\n"
    "cYa8yjRBRl2dMRXXsymlf4+R6tJmeGKtcVHLTt0g9PxljyfjkdVu5/sq9JFVsp5+KRFo1kOb6nYud8//eMbKAQ==\n";
constexpr char kToolLegacySignature[] =
    "untrusted comment: signature from minisign secret key\n"
    "RWR+PpwHdTKE0b+EgEEkTwmBRUg3FLzPA2t3SFVB4SQkh1foF9legxw6ZTP0LuJ21ST29BM7Q5sPxKrzOD8uEWTL9exLW1"
    "MBpwM=\n"
    "trusted comment: timestamp:1796718126\tfile:v.txt\n"
    "3av3nDIyHIQfLOyhkzgkunCyX+hRPHEx4AmwycaTunEr8oDkHCvUdcOlN96br4CFUE5LgKclfYrv3PBXRCPuCw==\n";

PublicKey ToolKey() {
  PublicKey k;
  EXPECT_EQ(ParsePublicKey(kToolPublicKey, &k), "");
  return k;
}

TEST(Signature, AcceptsTheToolsSignaturesAndKeys) {
  const PublicKey key = ToolKey();
  EXPECT_EQ(KeyIdText(key.id), "D1843275079C3E7E");
  VerifiedSignature v;
  ASSERT_EQ(VerifySignature(kMessage, kToolSignature, key, &v), "");
  EXPECT_EQ(v.fields.timestamp, 1700000000);
  ASSERT_TRUE(v.fields.expires.has_value());
  EXPECT_EQ(*v.fields.expires, 1800000000);
  EXPECT_EQ(v.trusted_comment, "timestamp:1700000000\tfile:Quastorell.uif\texpires:1800000000");
  ASSERT_EQ(VerifySignature(kMessage, kToolLegacySignature, key, &v), "");
  EXPECT_FALSE(v.fields.expires.has_value());

  // A bare key line, and Windows line ends.
  PublicKey bare;
  EXPECT_EQ(ParsePublicKey("RWR+PpwHdTKE0YMqRhT3te2gGEpQip7u5N2e3b4IoaF8cXlJark+XcLE", &bare), "");
  EXPECT_EQ(bare.key, key.key);
  std::string crlf;
  for (char c : std::string_view(kToolSignature)) {
    if (c == '\n') crlf.push_back('\r');
    crlf.push_back(c);
  }
  EXPECT_EQ(VerifySignature(kMessage, crlf, key, &v), "");

  // The tool's unencrypted secret key signs for its public key.
  SecretKey secret;
  ASSERT_EQ(ParseSecretKey(kToolSecretKey, "", &secret), "");
  EXPECT_FALSE(IsEncryptedSecretKey(kToolSecretKey));
  const std::string ours = SignMessage("other bytes", secret, MakeTrustedComment(5, "x", {}));
  EXPECT_EQ(VerifySignature("other bytes", ours, key, &v), "");
  EXPECT_EQ(v.trusted_comment, "timestamp:5\tfile:x\thashed");
}

TEST(Signature, EveryAlterationIsRefusedWithItsReason) {
  const PublicKey key = ToolKey();
  VerifiedSignature v;
  auto check = [&](std::string_view message, const std::string& sig) {
    return VerifySignature(message, sig, key, &v);
  };
  const std::string good = kToolSignature;
  std::string msg = kMessage;
  msg[3] ^= 1;
  EXPECT_EQ(check(msg, good), "the signature does not match the manifest");
  EXPECT_EQ(check(std::string(kMessage) + " ", good), "the signature does not match the manifest");

  std::string later = good;
  later.replace(later.find("1700000000"), 10, "1900000000");  // a replayed file, made newer
  EXPECT_EQ(check(kMessage, later), "the trusted comment's signature does not match");

  std::string flipped = good;
  flipped[good.find('\n') + 20] ^= 1;
  EXPECT_NE(check(kMessage, flipped), "");

  PublicKey other;
  SecretKey other_secret;
  GenerateKeyPair(&other, &other_secret);
  EXPECT_EQ(VerifySignature(kMessage, good, other, &v).rfind("signed by another key (", 0), 0u);
  // Another key's signature under our key id is still refused.
  SecretKey impostor;
  impostor.key = other_secret.key;
  impostor.id = key.id;
  EXPECT_EQ(check(kMessage, SignMessage(kMessage, impostor, "timestamp:1")),
            "the signature does not match the manifest");

  for (const std::string& broken :
       {std::string(), good.substr(0, good.size() / 2), good.substr(0, good.rfind("trusted")),
        std::string("\x00\xff garbage", 10), std::string(20000, 'A')}) {
    EXPECT_NE(check(kMessage, broken), "") << broken.size();
  }
}

TEST(Signature, TrustedCommentNeedsATimestamp) {
  PublicKey pub;
  SecretKey secret;
  GenerateKeyPair(&pub, &secret);
  VerifiedSignature v;
  EXPECT_EQ(VerifySignature("m", SignMessage("m", secret, "file:Quastorell.uif"), pub, &v),
            "the trusted comment has no timestamp");
  EXPECT_EQ(VerifySignature("m", SignMessage("m", secret, "timestamp:12x"), pub, &v),
            "the trusted comment's timestamp is no number");
  EXPECT_EQ(VerifySignature("m", SignMessage("m", secret, "timestamp:3\texpires:"), pub, &v),
            "the trusted comment's expiry is no number");
  ASSERT_EQ(VerifySignature("m", SignMessage("m", secret, "note:x y\ttimestamp:42\tzone:"), pub,
                            &v),
            "")
      << "unknown fields are ignored";
  EXPECT_EQ(v.fields.timestamp, 42);
  EXPECT_EQ(MakeTrustedComment(7, "Quastorell.uif", 99),
            "timestamp:7\tfile:Quastorell.uif\thashed\texpires:99");
  EXPECT_EQ(v.fields.project, "");

  // The project a manifest is signed for comes back as signed.
  const std::string comment = MakeTrustedComment(8, "Quastorell.uif", {}, "0123abcd");
  EXPECT_EQ(comment, "timestamp:8\tfile:Quastorell.uif\thashed\tproject:0123abcd");
  ASSERT_EQ(VerifySignature("m", SignMessage("m", secret, comment), pub, &v), "");
  EXPECT_EQ(v.fields.project, "0123abcd");
}

TEST(Signature, KeyFilesRoundTripPlainAndEncrypted) {
  PublicKey pub;
  SecretKey secret;
  GenerateKeyPair(&pub, &secret);
  const std::string pub_text = PublicKeyFileText(pub);
  EXPECT_EQ(pub_text.rfind("untrusted comment: minisign public key " + KeyIdText(pub.id) + "\n", 0),
            0u);
  PublicKey pub_back;
  ASSERT_EQ(ParsePublicKey(pub_text, &pub_back), "");
  EXPECT_EQ(pub_back.id, pub.id);
  EXPECT_EQ(pub_back.key, pub.key);

  SecretKey back;
  const std::string plain = SecretKeyFileText(secret, std::nullopt);
  EXPECT_FALSE(IsEncryptedSecretKey(plain));
  ASSERT_EQ(ParseSecretKey(plain, "ignored", &back), "");
  EXPECT_EQ(back.key, secret.key);

  const std::string locked = SecretKeyFileText(secret, std::string("geheim"));
  EXPECT_TRUE(IsEncryptedSecretKey(locked));
  EXPECT_EQ(ParseSecretKey(locked, "Geheim", &back), "wrong password");
  ASSERT_EQ(ParseSecretKey(locked, "geheim", &back), "");
  EXPECT_EQ(back.id, secret.id);
  EXPECT_EQ(back.key, secret.key);

  std::string damaged = plain;
  damaged[damaged.size() - 10] = damaged[damaged.size() - 10] == 'A' ? 'B' : 'A';
  EXPECT_NE(ParseSecretKey(damaged, "", &back), "");
  EXPECT_EQ(ParseSecretKey(pub_text, "", &back), "not a secret key");
  EXPECT_EQ(ParsePublicKey(plain, &pub_back), "not a public key");
}

}  // namespace
}  // namespace quasto
