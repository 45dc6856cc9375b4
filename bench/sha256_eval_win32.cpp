// Evaluation under Wine: which SHA-256 the Windows client should use for its
// content hashes. Sets the client's Sha256 (libcrypto) against CNG's
// BCryptHash and libsodium on one large buffer and on many small pieces (a
// start over many small files pays the set-up of each hash), in one run.
// Every contender must give the same digests.
//   sha256_eval.exe [MiB, default 256]
#include <windows.h>
#include <bcrypt.h>
#include <sodium.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shared/content_hash.h"

namespace {

constexpr size_t kSmall = 2048;

std::string Hex(const unsigned char* d, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", d[i]);
    s += b;
  }
  return s;
}

std::string Ours(const char* p, size_t n) {
  quasto::Sha256 h;
  h.Update(std::string_view(p, n));
  return h.FinishHex();
}

std::string Cng(BCRYPT_ALG_HANDLE alg, const char* p, size_t n) {
  BCRYPT_HASH_HANDLE h = nullptr;
  unsigned char d[32];
  if (BCryptCreateHash(alg, &h, nullptr, 0, nullptr, 0, 0) != 0) return "";
  // CNG takes at most 4 GiB a call; the pieces stay far below.
  const bool ok = BCryptHashData(h, reinterpret_cast<PUCHAR>(const_cast<char*>(p)),
                                 static_cast<ULONG>(n), 0) == 0 &&
                  BCryptFinishHash(h, d, sizeof d, 0) == 0;
  BCryptDestroyHash(h);
  return ok ? Hex(d, sizeof d) : "";
}

std::string Sodium(const char* p, size_t n) {
  unsigned char d[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(d, reinterpret_cast<const unsigned char*>(p), n);
  return Hex(d, sizeof d);
}

template <typename F>
double Seconds(F f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  std::vector<char> buf(mib << 20);
  uint32_t x = 12345;
  for (char& c : buf) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  if (sodium_init() < 0) return 1;
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return 1;

  struct Contender {
    const char* name;
    std::string big, small;
    double big_s, small_s;
  } cs[3] = {{"libcrypto", "", "", 0, 0}, {"CNG", "", "", 0, 0}, {"libsodium", "", "", 0, 0}};
  auto run = [&](int i, const char* p, size_t n) {
    return i == 0 ? Ours(p, n) : i == 1 ? Cng(alg, p, n) : Sodium(p, n);
  };
  const size_t pieces = buf.size() / kSmall;
  for (int i = 0; i < 3; ++i) {
    cs[i].big_s = Seconds([&] { cs[i].big = run(i, buf.data(), buf.size()); });
    cs[i].small_s = Seconds([&] {
      for (size_t k = 0; k < pieces; ++k) {
        cs[i].small += run(i, buf.data() + k * kSmall, kSmall).substr(0, 2);
      }
    });
  }
  BCryptCloseAlgorithmProvider(alg, 0);
  int status = 0;
  for (const Contender& c : cs) {
    std::printf("%-10s %zu MiB whole: %7.0f MB/s   %zu pieces of %zu bytes: %7.0f MB/s\n", c.name,
                mib, buf.size() / c.big_s / 1e6, pieces, kSmall, buf.size() / c.small_s / 1e6);
    if (c.big != cs[2].big || c.small != cs[2].small || c.big.size() != 64) {
      std::printf("%-10s gives other digests\n", c.name);
      status = 1;
    }
  }
  return status;
}
