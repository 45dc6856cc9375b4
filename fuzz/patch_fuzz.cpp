// Fuzzes the patch applier: no crash, no allocation driven by the header,
// never a byte past the declared length nor a read outside the base, and a
// success yields exactly the content whose SHA-256 the header names.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "shared/content_hash.h"
#include "shared/patch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quasto;
  // The base the seeds were made against: 4 KiB of a fixed pattern.
  static const std::string base = [] {
    std::string b(4096, '\0');
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>((i * 7) ^ (i >> 5));
    return b;
  }();
  std::string_view patch(reinterpret_cast<const char*>(data), size);
  auto source = [](std::string_view s) {
    return [s](uint64_t offset, char* buf, size_t cap) -> int64_t {
      if (offset > s.size() || cap > s.size() - offset) __builtin_trap();  // asked outside
      size_t n = std::min<uint64_t>(cap, s.size() - offset);
      std::memcpy(buf, s.data() + offset, n);
      return static_cast<int64_t>(n);
    };
  };
  std::string result;
  PatchStatus s = ApplyPatch(source(base), base.size(), source(patch), patch.size(),
                             [&result](std::string_view piece) {
                               result.append(piece);
                               return true;
                             });
  PatchHeader h;
  if (ReadPatchHeader(patch, patch.size(), &h) == PatchStatus::kOk) {
    if (result.size() > h.result_length) __builtin_trap();
    if (s == PatchStatus::kOk && Sha256Hex(result) != h.result_sha256) __builtin_trap();
  } else if (!result.empty()) {
    __builtin_trap();
  }
  return 0;
}
