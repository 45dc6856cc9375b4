// Fuzzes the readers of signatures and keys: any bytes give a clean refusal
// with a reason, never a crash, and never an accepted signature.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "shared/signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quasto;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  static const PublicKey key = [] {
    PublicKey k;
    ParsePublicKey("RWR+PpwHdTKE0YMqRhT3te2gGEpQip7u5N2e3b4IoaF8cXlJark+XcLE", &k);
    return k;
  }();
  VerifiedSignature v;
  // The fuzzer cannot forge an Ed25519 signature: anything accepted is a bug.
  if (VerifySignature("quastorell manifest bytes", text, key, &v).empty() &&
      text.find("trusted comment: timestamp:1700000000") == std::string_view::npos) {
    __builtin_trap();
  }
  PublicKey pub;
  ParsePublicKey(text, &pub);
  // Encrypted keys would spend the run in scrypt; their header is what is
  // read from untrusted bytes, and that is checked before any derivation.
  if (!IsEncryptedSecretKey(text)) {
    SecretKey secret;
    ParseSecretKey(text, "", &secret);
  }
  return 0;
}
