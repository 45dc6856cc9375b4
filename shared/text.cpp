#include "shared/text.h"

#include <cstdint>

namespace quasto {
namespace {

// Decodes one character at text[i]. Returns its length in bytes (1 to 4), or
// 0 when the bytes there form no valid sequence. Encoded surrogates (ED A0..BF)
// count as valid three-byte sequences.
size_t DecodeOne(std::string_view text, size_t i, uint32_t* cp) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(text[i + k]); };
  const size_t left = text.size() - i;
  const uint8_t b0 = b(0);
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  const auto cont = [&](size_t k) { return (b(k) & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (left < 2 || !cont(1)) return 0;
    *cp = ((b0 & 0x1Fu) << 6) | (b(1) & 0x3Fu);
    return 2;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3 || !cont(1) || !cont(2)) return 0;
    uint32_t v = ((b0 & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
    if (v < 0x800) return 0;  // overlong
    *cp = v;
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
    uint32_t v = ((b0 & 0x07u) << 18) | ((b(1) & 0x3Fu) << 12) |
                 ((b(2) & 0x3Fu) << 6) | (b(3) & 0x3Fu);
    if (v < 0x10000 || v > 0x10FFFF) return 0;
    *cp = v;
    return 4;
  }
  return 0;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsHighSurrogate(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDBFF; }
bool IsLowSurrogate(uint32_t cp) { return cp >= 0xDC00 && cp <= 0xDFFF; }

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t u = text[i];
    if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      uint32_t lo = text[++i];
      AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00), &out);
    } else {
      AppendUtf8(u, &out);
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    size_t n = DecodeOne(text, i, &cp);
    if (n == 0) {
      out.push_back(static_cast<uint8_t>(text[i]));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

std::string Utf8ToCesu8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    size_t n = DecodeOne(text, i, &cp);
    if (n == 4) {
      cp -= 0x10000;
      AppendUtf8(0xD800 + (cp >> 10), &out);
      AppendUtf8(0xDC00 + (cp & 0x3FF), &out);
    } else {
      if (n == 0) n = 1;
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string Cesu8ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t hi, lo;
    size_t n = DecodeOne(text, i, &hi);
    if (n == 3 && IsHighSurrogate(hi) && i + 3 < text.size() &&
        DecodeOne(text, i + 3, &lo) == 3 && IsLowSurrogate(lo)) {
      AppendUtf8(0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00), &out);
      i += 6;
      continue;
    }
    if (n == 0) n = 1;
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

std::string Utf8ToLatin1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    size_t n = DecodeOne(text, i, &cp);
    if (n == 0) {
      // Not UTF-8 at all: the byte is most likely already single-byte text.
      out.push_back(text[i]);
      ++i;
      continue;
    }
    if (n >= 3) {
      out.push_back(' ');
    } else if (cp <= 0xFF) {
      out.push_back(static_cast<char>(cp));
    } else {
      out.push_back('?');
    }
    i += n;
  }
  return out;
}

std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) AppendUtf8(static_cast<uint8_t>(c), &out);
  return out;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    const size_t n = DecodeOne(text, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string EscapeControls(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  auto escape = [&](std::string_view bytes) {
    for (char c : bytes) {
      const auto u = static_cast<uint8_t>(c);
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    }
  };
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    size_t n = DecodeOne(text, i, &cp);
    if (n == 0) {
      escape(text.substr(i, 1));
      n = 1;
    } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
      escape(text.substr(i, n));
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

}  // namespace quasto
