// Fuzzes the commit journal's reader: a journal is taken whole or not at
// all, every path of a taken one obeys the path rule, and it writes back to a
// journal that reads the same.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "shared/journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quasto::client;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Journal j;
  if (!ParseJournal(text, &j)) return 0;
  Journal again;
  if (!ParseJournal(JournalText(j), &again) || !(again == j)) __builtin_trap();
  return 0;
}
