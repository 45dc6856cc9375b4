#include "shared/signature.h"

#include <sodium.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quasto {
namespace {

constexpr char kUntrusted[] = "untrusted comment: ";
constexpr char kTrusted[] = "trusted comment: ";
constexpr size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr size_t kSignatureBytes = 2 + 8 + 64;
constexpr size_t kKeynumBytes = 8 + 64 + 32;  // id, secret key, checksum
constexpr size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + kKeynumBytes;
// A key file asking for more than the other tool's own defaults is refused
// rather than left to exhaust memory or time.
constexpr uint64_t kMaxOpsLimit = crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE;
constexpr uint64_t kMaxMemLimit = crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE;
// Keys encrypted here take a quarter of that: enough against guessing, and
// small enough for a 32-bit program to decrypt.
constexpr uint64_t kOwnOpsLimit = kMaxOpsLimit / 4;
constexpr uint64_t kOwnMemLimit = kMaxMemLimit / 4;

void InitSodium() {
  static const int ready = sodium_init();
  (void)ready;
}

// The text's lines without their line ends.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// Exactly `size` bytes from a whole line of base64.
bool DecodeBase64(std::string_view line, size_t size, std::vector<uint8_t>* out) {
  out->assign(size + 1, 0);
  size_t len = 0;
  const char* end = nullptr;
  if (line.empty() ||
      sodium_base642bin(out->data(), out->size(), line.data(), line.size(), nullptr, &len, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != line.data() + line.size() || len != size) {
    return false;
  }
  out->resize(size);
  return true;
}

std::string EncodeBase64(const uint8_t* data, size_t size) {
  std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  out.resize(std::strlen(out.c_str()));
  return out;
}

uint64_t Le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void PutLe64(uint64_t v, uint8_t* p) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// BLAKE2b-256 over the algorithm, the key id and the secret key: tells a
// wrong password from the right one.
void KeyChecksum(const uint8_t alg[2], const uint8_t* keynum, uint8_t out[32]) {
  crypto_generichash_state st;
  crypto_generichash_init(&st, nullptr, 0, 32);
  crypto_generichash_update(&st, alg, 2);
  crypto_generichash_update(&st, keynum, 8 + 64);
  crypto_generichash_final(&st, out, 32);
}

bool ScryptStream(const std::string& password, const uint8_t* salt, uint64_t ops, uint64_t mem,
                  uint8_t out[kKeynumBytes]) {
  return crypto_pwhash_scryptsalsa208sha256(out, kKeynumBytes, password.data(), password.size(),
                                            salt, ops, static_cast<size_t>(mem)) == 0;
}

bool ParseNumber(std::string_view text, int64_t* out) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return std::from_chars(text.data(), text.data() + text.size(), *out).ec == std::errc();
}

std::string ParseTrustedComment(std::string_view comment, TrustedComment* out) {
  TrustedComment fields;
  bool have_timestamp = false;
  while (true) {
    const size_t tab = comment.find('\t');
    const std::string_view field = comment.substr(0, tab);
    const size_t colon = field.find(':');
    if (colon != std::string_view::npos) {
      const std::string_view name = field.substr(0, colon), value = field.substr(colon + 1);
      int64_t n = 0;
      if (name == "timestamp") {
        if (!ParseNumber(value, &n)) return "the trusted comment's timestamp is no number";
        fields.timestamp = n;
        have_timestamp = true;
      } else if (name == "expires") {
        if (!ParseNumber(value, &n)) return "the trusted comment's expiry is no number";
        fields.expires = n;
      } else if (name == "project") {
        fields.project = std::string(value);
      }
    }
    if (tab == std::string_view::npos) break;
    comment.remove_prefix(tab + 1);
  }
  if (!have_timestamp) return "the trusted comment has no timestamp";
  *out = fields;
  return "";
}

}  // namespace

SecretKey::~SecretKey() { sodium_memzero(key.data(), key.size()); }

std::string KeyIdText(const KeyId& id) {
  char buf[17];
  for (int i = 0; i < 8; ++i) std::snprintf(buf + 2 * i, 3, "%02X", id[static_cast<size_t>(7 - i)]);
  return std::string(buf, 16);
}

void GenerateKeyPair(PublicKey* pub, SecretKey* secret) {
  InitSodium();
  crypto_sign_keypair(pub->key.data(), secret->key.data());
  randombytes_buf(pub->id.data(), pub->id.size());
  secret->id = pub->id;
}

std::string ParsePublicKey(std::string_view text, PublicKey* out) {
  InitSodium();
  if (text.size() > kMaxSignatureFileSize) return "the public key file is too large";
  const std::vector<std::string_view> lines = Lines(text);
  std::string_view line;
  if (lines.size() >= 2 && StartsWith(lines[0], kUntrusted)) {
    line = lines[1];
  } else if (!lines.empty()) {
    line = lines[0];
  }
  std::vector<uint8_t> bin;
  if (!DecodeBase64(line, kPublicKeyBytes, &bin)) return "not a public key";
  if (bin[0] != 'E' || bin[1] != 'd') return "not an Ed25519 public key";
  PublicKey k;
  std::memcpy(k.id.data(), bin.data() + 2, 8);
  std::memcpy(k.key.data(), bin.data() + 10, 32);
  *out = k;
  return "";
}

std::string PublicKeyFileText(const PublicKey& key) {
  uint8_t bin[kPublicKeyBytes] = {'E', 'd'};
  std::memcpy(bin + 2, key.id.data(), 8);
  std::memcpy(bin + 10, key.key.data(), 32);
  return std::string(kUntrusted) + "minisign public key " + KeyIdText(key.id) + "\n" +
         EncodeBase64(bin, sizeof bin) + "\n";
}

bool IsEncryptedSecretKey(std::string_view text) {
  const std::vector<std::string_view> lines = Lines(text);
  std::vector<uint8_t> bin;
  return lines.size() >= 2 && DecodeBase64(lines[1], kSecretKeyBytes, &bin) && bin[2] == 'S' &&
         bin[3] == 'c';
}

std::string ParseSecretKey(std::string_view text, const std::string& password, SecretKey* out) {
  InitSodium();
  if (text.size() > kMaxSignatureFileSize) return "the secret key file is too large";
  const std::vector<std::string_view> lines = Lines(text);
  std::vector<uint8_t> bin;
  if (lines.size() < 2 || !StartsWith(lines[0], kUntrusted) ||
      !DecodeBase64(lines[1], kSecretKeyBytes, &bin)) {
    return "not a secret key";
  }
  if (bin[0] != 'E' || bin[1] != 'd' || bin[4] != 'B' || bin[5] != '2') {
    return "not an Ed25519 secret key";
  }
  const bool encrypted = bin[2] == 'S' && bin[3] == 'c';
  if (!encrypted && (bin[2] != 0 || bin[3] != 0)) return "unknown key encryption";
  uint8_t* keynum = bin.data() + 54;
  if (encrypted) {
    const uint64_t ops = Le64(bin.data() + 38), mem = Le64(bin.data() + 46);
    if (ops > kMaxOpsLimit || mem > kMaxMemLimit) return "the key asks for too much memory or time";
    uint8_t stream[kKeynumBytes];
    if (!ScryptStream(password, bin.data() + 6, ops, mem, stream)) {
      return "the key could not be decrypted (out of memory)";
    }
    for (size_t i = 0; i < kKeynumBytes; ++i) keynum[i] ^= stream[i];
    sodium_memzero(stream, sizeof stream);
  }
  uint8_t check[32];
  KeyChecksum(bin.data(), keynum, check);
  const uint8_t* stored = keynum + 72;
  static const uint8_t kZero[32] = {};
  // The other tool leaves the checksum of an unencrypted key empty.
  const bool ok = sodium_memcmp(check, stored, 32) == 0 ||
                  (!encrypted && std::memcmp(stored, kZero, 32) == 0);
  if (!ok) {
    sodium_memzero(bin.data(), bin.size());
    return encrypted ? "wrong password" : "the secret key is damaged";
  }
  std::memcpy(out->id.data(), keynum, 8);
  std::memcpy(out->key.data(), keynum + 8, 64);
  sodium_memzero(bin.data(), bin.size());
  return "";
}

std::string SecretKeyFileText(const SecretKey& key, const std::optional<std::string>& password) {
  InitSodium();
  uint8_t bin[kSecretKeyBytes] = {'E', 'd', 0, 0, 'B', '2'};
  uint8_t* keynum = bin + 54;
  std::memcpy(keynum, key.id.data(), 8);
  std::memcpy(keynum + 8, key.key.data(), 64);
  KeyChecksum(bin, keynum, keynum + 72);
  if (password) {
    bin[2] = 'S';
    bin[3] = 'c';
    randombytes_buf(bin + 6, 32);
    PutLe64(kOwnOpsLimit, bin + 38);
    PutLe64(kOwnMemLimit, bin + 46);
    uint8_t stream[kKeynumBytes];
    if (!ScryptStream(*password, bin + 6, kOwnOpsLimit, kOwnMemLimit, stream)) return "";
    for (size_t i = 0; i < kKeynumBytes; ++i) keynum[i] ^= stream[i];
    sodium_memzero(stream, sizeof stream);
  }
  std::string text = std::string(kUntrusted) +
                     (password ? "minisign encrypted secret key" : "minisign secret key") + "\n" +
                     EncodeBase64(bin, sizeof bin) + "\n";
  sodium_memzero(bin, sizeof bin);
  return text;
}

std::string MakeTrustedComment(int64_t timestamp, const std::string& file,
                               std::optional<int64_t> expires, const std::string& project) {
  std::string c = "timestamp:" + std::to_string(timestamp) + "\tfile:" + file + "\thashed";
  if (expires) c += "\texpires:" + std::to_string(*expires);
  if (!project.empty()) c += "\tproject:" + project;
  return c;
}

std::string SignMessage(std::string_view message, const SecretKey& key,
                        const std::string& trusted_comment) {
  InitSodium();
  uint8_t hash[crypto_generichash_BYTES_MAX];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const uint8_t*>(message.data()),
                     message.size(), nullptr, 0);
  uint8_t sig[kSignatureBytes] = {'E', 'D'};
  std::memcpy(sig + 2, key.id.data(), 8);
  crypto_sign_detached(sig + 10, nullptr, hash, sizeof hash, key.key.data());
  std::vector<uint8_t> global_input(sig + 10, sig + 10 + 64);
  global_input.insert(global_input.end(), trusted_comment.begin(), trusted_comment.end());
  uint8_t global[64];
  crypto_sign_detached(global, nullptr, global_input.data(), global_input.size(),
                       key.key.data());
  return std::string(kUntrusted) + "signature from minisign secret key\n" +
         EncodeBase64(sig, sizeof sig) + "\n" + kTrusted + trusted_comment + "\n" +
         EncodeBase64(global, sizeof global) + "\n";
}

std::string VerifySignature(std::string_view message, std::string_view signature_file,
                            const PublicKey& key, VerifiedSignature* out) {
  InitSodium();
  if (signature_file.size() > kMaxSignatureFileSize) return "the signature file is too large";
  const std::vector<std::string_view> lines = Lines(signature_file);
  std::vector<uint8_t> sig, global;
  if (lines.size() < 4 || !StartsWith(lines[0], kUntrusted) ||
      !DecodeBase64(lines[1], kSignatureBytes, &sig) || !StartsWith(lines[2], kTrusted) ||
      !DecodeBase64(lines[3], 64, &global)) {
    return "not a signature file";
  }
  const bool prehashed = sig[0] == 'E' && sig[1] == 'D';
  if (!prehashed && !(sig[0] == 'E' && sig[1] == 'd')) return "unknown signature algorithm";
  KeyId id;
  std::memcpy(id.data(), sig.data() + 2, 8);
  if (id != key.id) {
    return "signed by another key (" + KeyIdText(id) + ", expected " + KeyIdText(key.id) + ")";
  }
  int valid;
  if (prehashed) {
    uint8_t hash[crypto_generichash_BYTES_MAX];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const uint8_t*>(message.data()),
                       message.size(), nullptr, 0);
    valid = crypto_sign_verify_detached(sig.data() + 10, hash, sizeof hash, key.key.data());
  } else {
    valid = crypto_sign_verify_detached(sig.data() + 10,
                                        reinterpret_cast<const uint8_t*>(message.data()),
                                        message.size(), key.key.data());
  }
  if (valid != 0) return "the signature does not match the manifest";
  const std::string_view comment = lines[2].substr(sizeof(kTrusted) - 1);
  if (comment.size() > kMaxTrustedComment) return "the trusted comment is too long";
  std::vector<uint8_t> global_input(sig.begin() + 10, sig.end());
  global_input.insert(global_input.end(), comment.begin(), comment.end());
  if (crypto_sign_verify_detached(global.data(), global_input.data(), global_input.size(),
                                  key.key.data()) != 0) {
    return "the trusted comment's signature does not match";
  }
  VerifiedSignature v;
  v.trusted_comment = std::string(comment);
  const std::string why = ParseTrustedComment(comment, &v.fields);
  if (!why.empty()) return why;
  *out = std::move(v);
  return "";
}

}  // namespace quasto
