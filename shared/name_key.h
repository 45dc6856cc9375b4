// Names as Windows compares them. Two spellings that differ in letter case,
// or in dots and blanks at the end of a component, name one file there
// ("ReadMe.txt", "README.TXT" and "readme.txt. "). Both programs compare
// entries by this key on every platform, so that what one decides on Linux
// is what a Windows installation will see.
#ifndef QUASTO_SHARED_NAME_KEY_H_
#define QUASTO_SHARED_NAME_KEY_H_

#include <string>
#include <string_view>

namespace quasto {

// One UTF-16 code unit upcased by the table Windows' file systems use to
// compare names: simple uppercase letters that map back in lower case, in
// the Basic Multilingual Plane only.
char16_t UpcaseForNames(char16_t c);

// The key under which a Windows file system finds `path` (UTF-8, "\" or "/"
// between components): "\" between components, each component without
// trailing dots and blanks (unless nothing else is left of it), every
// letter upcased as above. Bytes that are not UTF-8 pass as the characters
// of the same value, as everywhere in the programs. Equal keys: one file.
std::string WindowsNameKey(std::string_view path);

}  // namespace quasto

#endif  // QUASTO_SHARED_NAME_KEY_H_
