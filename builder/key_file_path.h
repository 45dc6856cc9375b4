// The name under which libssh2 can open an SFTP key file. It opens key files
// with the C library's fopen, which under Windows reads a name in the ANSI
// code page, not in UTF-8: a profile folder such as "C:\Users\Jürgen\" would
// otherwise name no file. One implementation per platform:
// key_file_path_win32.cpp, key_file_path_posix.cpp.
#ifndef QUASTO_BUILDER_KEY_FILE_PATH_H_
#define QUASTO_BUILDER_KEY_FILE_PATH_H_

#include <string>

namespace quasto {

// `path` (UTF-8, native separators) as fopen takes it; the path itself when
// no such name is known.
std::string KeyFilePath(const std::string& path);

}  // namespace quasto

#endif  // QUASTO_BUILDER_KEY_FILE_PATH_H_
