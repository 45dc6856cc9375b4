// Ed25519 signatures in the file formats of the minisign tool, so that keys
// and signatures move freely between this kit and that tool:
//
//   public key   "untrusted comment: ..." line, then base64 of
//                "Ed" + key id (8) + public key (32)
//   secret key   comment line, then base64 of "Ed" + KDF ("Sc" scrypt or
//                two zero bytes) + "B2" + salt (32) + opslimit (8, LE) +
//                memlimit (8, LE) + [key id (8) + secret key (64) + BLAKE2b-256
//                checksum (32)], the bracket XORed with an scrypt stream when
//                the key is encrypted
//   signature    comment line; base64 of "ED" + key id + Ed25519 signature of
//                the BLAKE2b-512 of the file ("Ed": of the file itself);
//                "trusted comment: ..." line; base64 of the signature of the
//                first signature followed by the trusted comment
//
// Pure functions over bytes; every failure says why. All cryptography is
// libsodium's.
#ifndef QUASTO_SHARED_SIGNATURE_H_
#define QUASTO_SHARED_SIGNATURE_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quasto {

inline constexpr char kPublicKeyFile[] = "Quastorell.pub";
inline constexpr char kSecretKeyFile[] = "Quastorell.key";
inline constexpr char kSignatureSuffix[] = ".minisig";
// Larger files are no signature or key: nothing is parsed of them.
inline constexpr size_t kMaxSignatureFileSize = 16 * 1024;
// The trusted comment's length, as the other tool allows it.
inline constexpr size_t kMaxTrustedComment = 1024;

using KeyId = std::array<uint8_t, 8>;

struct PublicKey {
  KeyId id{};
  std::array<uint8_t, 32> key{};
};

struct SecretKey {
  KeyId id{};
  std::array<uint8_t, 64> key{};  // Ed25519 secret key with its public half
  ~SecretKey();                   // wipes the key
};

// The key id as the other tool prints it: 16 upper-case hex digits.
std::string KeyIdText(const KeyId& id);

// A new key pair with a random key id.
void GenerateKeyPair(PublicKey* pub, SecretKey* secret);

// Reads a public key file, or a bare base64 key line. "" on success, else why.
std::string ParsePublicKey(std::string_view text, PublicKey* out);
std::string PublicKeyFileText(const PublicKey& key);

// True when the secret key file is encrypted (needs a password).
bool IsEncryptedSecretKey(std::string_view text);
// Reads a secret key file; `password` is used for an encrypted key. "" on
// success, else why ("wrong password" among others).
std::string ParseSecretKey(std::string_view text, const std::string& password, SecretKey* out);
// The secret key file, encrypted with scrypt when `password` is given.
std::string SecretKeyFileText(const SecretKey& key, const std::optional<std::string>& password);

// The trusted comment's fields "name:value", separated by tabs.
struct TrustedComment {
  int64_t timestamp = 0;  // required
  std::optional<int64_t> expires;
  // The project the manifest was signed for; "" when the comment names none
  // (signatures made before projects had an identity, or by the other tool).
  std::string project;
};
// "timestamp:<t>\tfile:<file>\thashed", plus "\texpires:<e>" and
// "\tproject:<p>" when given.
std::string MakeTrustedComment(int64_t timestamp, const std::string& file,
                               std::optional<int64_t> expires, const std::string& project = "");

// A detached signature file of `message` (prehashed, "ED").
std::string SignMessage(std::string_view message, const SecretKey& key,
                        const std::string& trusted_comment);

struct VerifiedSignature {
  std::string trusted_comment;
  TrustedComment fields;
};
// Checks a signature file against the exact bytes of `message`: the key id,
// the signature, the global signature over the trusted comment, and that
// the comment holds a timestamp. "" on success, else why.
std::string VerifySignature(std::string_view message, std::string_view signature_file,
                            const PublicKey& key, VerifiedSignature* out);

}  // namespace quasto

#endif  // QUASTO_SHARED_SIGNATURE_H_
