#include <windows.h>

#include "client/ansi_win32.h"
#include "shared/text.h"

namespace quasto::client {

std::wstring Utf8ToWide(std::string_view utf8) {
  const std::u16string w = Utf8ToUtf16(utf8);
  return std::wstring(w.begin(), w.end());
}

std::string Utf8ToAnsi(const std::string& utf8, bool* exact) {
  if (exact != nullptr) *exact = true;
  const std::wstring w = Utf8ToWide(utf8);
  if (w.empty()) return {};
  const int wn = static_cast<int>(w.size());
  BOOL defaulted = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), wn, nullptr, 0,
                                    "?", &defaulted);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), wn, out.data(), n, "?",
                        &defaulted);
  }
  if (exact != nullptr && (n <= 0 || defaulted)) *exact = false;
  if (exact != nullptr && *exact) {
    // Some code pages map a character to a byte that reads back as another.
    const int back_n =
        MultiByteToWideChar(CP_ACP, 0, out.data(), static_cast<int>(out.size()), nullptr, 0);
    std::wstring back(static_cast<size_t>(back_n > 0 ? back_n : 0), L'\0');
    if (back_n > 0) {
      MultiByteToWideChar(CP_ACP, 0, out.data(), static_cast<int>(out.size()), back.data(),
                          back_n);
    }
    *exact = back == w;
  }
  return out;
}

}  // namespace quasto::client
