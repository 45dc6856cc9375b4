// Text conversions between the encodings the programs meet: UTF-8 in the
// documents, UTF-16 in the builder, single bytes in the client.
//
// Strings inside the programs are UTF-8. A lone UTF-16 surrogate (a file name
// Windows allows) is kept as its own three-byte sequence, so that a name
// survives the trip UTF-16 -> UTF-8 -> UTF-16 unchanged.
#ifndef QUASTO_SHARED_TEXT_H_
#define QUASTO_SHARED_TEXT_H_

#include <string>
#include <string_view>

namespace quasto {

// UTF-16 -> UTF-8: surrogate pairs become four bytes, lone surrogates three.
std::string Utf16ToUtf8(std::u16string_view text);

// UTF-8 -> UTF-16. A byte that starts no valid sequence stands for the
// character of the same value, so that no byte is ever dropped.
std::u16string Utf8ToUtf16(std::string_view text);

// UTF-8 with every UTF-16 code unit encoded on its own: a character above
// U+FFFF becomes two three-byte sequences. Other bytes pass unchanged.
std::string Utf8ToCesu8(std::string_view text);

// Joins pairs of three-byte surrogate sequences into four-byte characters;
// the inverse of Utf8ToCesu8.
std::string Cesu8ToUtf8(std::string_view text);

// UTF-8 -> single bytes: U+0000..U+00FF become the byte of the same value,
// characters written with three or four bytes become one space, and the other
// two-byte characters, which have no single byte, become '?'.
std::string Utf8ToLatin1(std::string_view text);

// Single bytes (Latin-1) -> UTF-8.
std::string Latin1ToUtf8(std::string_view text);

// True when every byte belongs to a valid UTF-8 sequence. Encoded
// surrogates (three bytes each) count as valid, as the documents write
// characters above U+FFFF that way and Windows names may hold lone ones.
bool IsValidUtf8(std::string_view text);

// The text with each control character (C0, DEL, C1) and each byte that
// starts no valid UTF-8 sequence written as "\xNN", one per byte, so that a
// terminal or a reader of a log is shown a name and never acts on it (ESC
// sequences set a terminal's title or clear its screen).
std::string EscapeControls(std::string_view text);

}  // namespace quasto

#endif  // QUASTO_SHARED_TEXT_H_
