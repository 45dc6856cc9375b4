// Fuzzes the document reader: any bytes must give a clean success or
// failure, and what is read must write back and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "shared/documents.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quasto;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Manifest m;
  if (ManifestFromJson(text, &m) == ManifestRead::kOk) {
    Manifest again;
    if (ManifestFromJson(ToJson(m), &again) != ManifestRead::kOk || !(again == m)) __builtin_trap();
  }
  UpdaterStructure u;
  if (FromJson(text, &u)) {
    UpdaterStructure again;
    if (!FromJson(ToJson(u), &again) || !(again == u)) __builtin_trap();
  }
  return 0;
}
