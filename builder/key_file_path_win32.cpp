#include <windows.h>

#include <string>

#include "builder/key_file_path.h"
#include "shared/text.h"

namespace quasto {
namespace {

// The ANSI form of `wide`; "" when a character has none or reads back as
// another.
std::string Ansi(const std::wstring& wide) {
  const int wn = static_cast<int>(wide.size());
  BOOL defaulted = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wn, nullptr, 0,
                                    nullptr, &defaulted);
  if (n <= 0 || defaulted) return "";
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wn, out.data(), n, nullptr,
                      &defaulted);
  const int back_n = MultiByteToWideChar(CP_ACP, 0, out.data(), n, nullptr, 0);
  std::wstring back(static_cast<size_t>(back_n > 0 ? back_n : 0), L'\0');
  if (back_n > 0) MultiByteToWideChar(CP_ACP, 0, out.data(), n, back.data(), back_n);
  return defaulted || back != wide ? "" : out;
}

}  // namespace

std::string KeyFilePath(const std::string& path) {
  const std::u16string utf16 = Utf8ToUtf16(path);
  const std::wstring wide(utf16.begin(), utf16.end());
  if (wide.empty()) return path;
  if (std::string ansi = Ansi(wide); !ansi.empty()) return ansi;
  // Letters the code page lacks: the short name, where the volume keeps
  // them, is ASCII.
  const DWORD n = GetShortPathNameW(wide.c_str(), nullptr, 0);
  if (n == 0) return path;
  std::wstring short_name(n, L'\0');
  const DWORD got = GetShortPathNameW(wide.c_str(), short_name.data(), n);
  if (got == 0 || got >= n) return path;
  short_name.resize(got);
  const std::string ansi = Ansi(short_name);
  return ansi.empty() ? path : ansi;
}

}  // namespace quasto
