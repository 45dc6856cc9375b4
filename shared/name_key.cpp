#include "shared/name_key.h"

#include <array>
#include <memory>

#include "shared/text.h"

namespace quasto {
namespace {

struct Run {
  char16_t first;
  int count;
  int delta;
  int stride;
};

constexpr Run kRuns[] = {
#include "shared/upcase_table.inc"
};

// All 65,536 code units at once: a name is looked up letter by letter, and a
// manifest may hold a million of them.
const std::array<char16_t, 0x10000>& Table() {
  static const auto table = [] {
    auto t = std::make_unique<std::array<char16_t, 0x10000>>();
    for (size_t c = 0; c < t->size(); ++c) (*t)[c] = static_cast<char16_t>(c);
    for (const Run& r : kRuns) {
      for (int i = 0; i < r.count; ++i) {
        const int c = r.first + i * r.stride;
        (*t)[c] = static_cast<char16_t>(c + r.delta);
      }
    }
    return t;
  }();
  return *table;
}

bool IsAscii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Drops trailing dots and blanks of every component in place, unless the
// component consists of nothing else.
template <typename Str>
void StripComponentEnds(Str* s, typename Str::value_type sep) {
  Str out;
  out.reserve(s->size());
  size_t start = 0;
  for (;;) {
    size_t end = s->find(sep, start);
    const size_t stop = end == Str::npos ? s->size() : end;
    size_t keep = stop;
    while (keep > start && ((*s)[keep - 1] == '.' || (*s)[keep - 1] == ' ')) --keep;
    if (keep == start) keep = stop;
    out.append(*s, start, keep - start);
    if (end == Str::npos) break;
    out.push_back(sep);
    start = end + 1;
  }
  s->swap(out);
}

}  // namespace

char16_t UpcaseForNames(char16_t c) { return Table()[c]; }

std::string WindowsNameKey(std::string_view path) {
  if (IsAscii(path)) {
    std::string s(path);
    for (char& c : s) {
      if (c == '/') c = '\\';
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    StripComponentEnds(&s, '\\');
    return s;
  }
  std::u16string w = Utf8ToUtf16(path);
  const auto& table = Table();
  for (char16_t& c : w) c = c == u'/' ? u'\\' : table[c];
  StripComponentEnds(&w, u'\\');
  return Utf16ToUtf8(w);
}

}  // namespace quasto
