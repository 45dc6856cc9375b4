// Where the FTP password is kept between runs: never in "Quastorell.cfg" in
// a form anyone can read back. On Windows it is protected with DPAPI for the
// user (CryptProtectData) and kept, in base64, in the settings' member
// "ProtectedPassword"; elsewhere it is kept in a file only its owner may
// read and write, beside the settings, which that member names. One
// implementation per platform: password_store_win32.cpp,
// password_store_posix.cpp.
#ifndef QUASTO_BUILDER_PASSWORD_STORE_H_
#define QUASTO_BUILDER_PASSWORD_STORE_H_

#include <string>

namespace quasto {

// The file beside the settings that holds the password where there is no
// DPAPI.
inline constexpr char kFtpPasswordFile[] = "Quastorell.pwd";

// Keeps `plain` for the settings of `base_folder` (ending in a separator);
// `*member` becomes the value of "ProtectedPassword". An empty password
// leaves nothing behind and an empty member. False when it could not be
// kept: the caller must not fall back to storing it readably.
bool ProtectPassword(const std::string& base_folder, const std::string& plain,
                     std::string* member);

// The password kept under `member`; false when it cannot be read back (a
// member written on another platform or by another user, a missing file).
bool RecoverPassword(const std::string& base_folder, const std::string& member,
                     std::string* plain);

}  // namespace quasto

#endif  // QUASTO_BUILDER_PASSWORD_STORE_H_
