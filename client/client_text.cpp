#include "client/client_text.h"

#include <cstdio>

namespace quasto::client {
namespace {

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.*f", decimals, v);
  return buf;
}

void ReplaceAll(std::string* text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = text->find(from, pos);
    if (hit == std::string::npos) break;
    out.append(*text, pos, hit - pos);
    out.append(to);
    pos = hit + from.size();
  }
  out.append(*text, pos, std::string::npos);
  *text = std::move(out);
}

}  // namespace

std::string SizeText(float bytes) {
  float v = bytes / 1024.0f;
  const char* unit = " KB";
  if (v >= 1024.0f) {
    if (v < 1048576.0f) {
      v /= 1024.0f;
      unit = " MB";
    } else {
      v /= 1048576.0f;
      unit = " GB";
    }
  }
  const int decimals = v < 10.0f ? 2 : (v < 100.0f ? 1 : 0);
  std::string text = Fixed(v, decimals);
  size_t point = text.find('.');
  if (point != std::string::npos && point + 1 < text.size() && text[point + 1] == '0') {
    text.resize(point);
  }
  return text + unit;
}

std::string FormatByteSize(double bytes, int decimals) {
  constexpr double kK = 1024.0;
  if (bytes >= kK * kK * kK * kK) return Fixed(bytes / (kK * kK * kK * kK), decimals) + " TB";
  if (bytes >= kK * kK * kK) return Fixed(bytes / (kK * kK * kK), decimals) + " GB";
  if (bytes >= kK * kK) return Fixed(bytes / (kK * kK), decimals) + " MB";
  if (bytes >= kK) return Fixed(bytes / kK, decimals) + " KB";
  if (bytes >= 0) return Fixed(bytes, 0) + " Byte";
  return "0 Byte";
}

std::string FillProgressTemplate(std::string_view templ, std::string_view percent,
                                 std::string_view size, std::string_view file) {
  std::string text(templ);
  ReplaceAll(&text, "{P}", percent);
  ReplaceAll(&text, "{S}", size);
  ReplaceAll(&text, "{F}", file);
  return text;
}

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

}  // namespace quasto::client
