// Fuzzes the packed-file reader: no crash, no allocation driven by the
// header, and a success yields exactly the length the header states.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "shared/packed_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quasto;
  std::string_view packed(reinterpret_cast<const char*>(data), size);
  uint64_t total = 0;
  UnpackStatus s = UnpackContent(packed, [&total](std::string_view piece) {
    total += piece.size();
    return total <= (64u << 20);  // stop runaway output early
  });
  if (s == UnpackStatus::kOk) {
    PackedHeader h;
    if (ReadPackedHeader(packed, &h) != UnpackStatus::kOk) __builtin_trap();
    if (static_cast<double>(total) != h.unpacked_length) __builtin_trap();
  }
  return 0;
}
