// Text for Windows' own functions: UTF-16 for the W functions, which name
// files and programs, and the ANSI code page for what the A functions show
// and for the log. Kept free of windows.h.
#ifndef QUASTO_CLIENT_ANSI_WIN32_H_
#define QUASTO_CLIENT_ANSI_WIN32_H_

#include <string>
#include <string_view>

namespace quasto::client {

// UTF-8 -> UTF-16 as the W functions take it; no character is lost.
std::wstring Utf8ToWide(std::string_view utf8);

// The one conversion to the ANSI code page. It never maps best fit: a
// character the code page lacks becomes "?", not a look-alike (best fit turns
// FULLWIDTH REVERSE SOLIDUS, U+FF3C, into "\", so a name ".." U+FF3C "x"
// would name a file one folder up). `exact`, when given, says whether the
// result converts back to the same text; a name that does not may only be
// shown, never used to open or start anything.
std::string Utf8ToAnsi(const std::string& utf8, bool* exact = nullptr);

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_ANSI_WIN32_H_
