// Sha256 on libcrypto's EVP interface, whose SHA-256 picks the CPU's SHA
// instructions (or AVX2, SSSE3) at run time.
#include <openssl/evp.h>

#include "shared/content_hash.h"

namespace quasto {
namespace {

// Fetched once: an implicit fetch on every initialisation would look the
// algorithm up again for each of many small files.
const EVP_MD* Sha256Method() {
  static const EVP_MD* const md = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
  }();
  return md;
}

}  // namespace

struct Sha256::State {
  EVP_MD_CTX* ctx = nullptr;
  bool ok = false;
};

Sha256::Sha256() : state_(new State) {
  state_->ctx = EVP_MD_CTX_new();
  state_->ok =
      state_->ctx != nullptr && EVP_DigestInit_ex2(state_->ctx, Sha256Method(), nullptr) == 1;
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(state_->ctx);
  delete state_;
}

void Sha256::Update(std::string_view data) {
  if (state_->ok && !data.empty()) {
    state_->ok = EVP_DigestUpdate(state_->ctx, data.data(), data.size()) == 1;
  }
}

std::string Sha256::FinishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const bool ok = state_->ok && EVP_DigestFinal_ex(state_->ctx, digest, &size) == 1 &&
                  size * 2 == kSha256HexSize;
  state_->ok = false;
  if (!ok) return "";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(kSha256HexSize, '\0');
  for (unsigned int i = 0; i < size; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return hex;
}

}  // namespace quasto
