// Fuzzes the hash cache's reader: any bytes must be taken whole or not at
// all, never in part, and a refused text leaves the cache empty.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "shared/content_hash.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quasto;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  HashCache cache("", "C:\\app\\");
  if (!cache.LoadText(text)) {
    if (cache.size() != 0) __builtin_trap();
    return 0;
  }
  // Loaded entries count as unused until looked up; none is written.
  HashCache again("", "C:\\app\\");
  if (!again.LoadText(cache.SavedText()) || again.size() != 0) __builtin_trap();
  return 0;
}
