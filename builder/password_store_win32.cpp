#include <windows.h>
#include <dpapi.h>
#include <sodium.h>

#include <vector>

#include "builder/password_store.h"
#include "shared/fs.h"

namespace quasto {
namespace {

constexpr char kDpapiMember[] = "dpapi:";

struct LocalBlob {
  DATA_BLOB blob{};
  ~LocalBlob() {
    if (blob.pbData != nullptr) {
      SecureZeroMemory(blob.pbData, blob.cbData);
      LocalFree(blob.pbData);
    }
  }
};

}  // namespace

bool ProtectPassword(const std::string& base_folder, const std::string& plain,
                     std::string* member) {
  // A file of an earlier run elsewhere has no business staying.
  const std::string old_file = base_folder + kFtpPasswordFile;
  if (fs::FileSize(old_file) >= 0) fs::RemoveFile(old_file);
  if (plain.empty()) {
    member->clear();
    return true;
  }
  DATA_BLOB in{static_cast<DWORD>(plain.size()),
               reinterpret_cast<BYTE*>(const_cast<char*>(plain.data()))};
  LocalBlob out;
  if (!CryptProtectData(&in, L"Quastorell FTP", nullptr, nullptr, nullptr,
                        CRYPTPROTECT_UI_FORBIDDEN, &out.blob)) {
    return false;
  }
  std::vector<char> b64(sodium_base64_ENCODED_LEN(out.blob.cbData, sodium_base64_VARIANT_ORIGINAL));
  sodium_bin2base64(b64.data(), b64.size(), out.blob.pbData, out.blob.cbData,
                    sodium_base64_VARIANT_ORIGINAL);
  *member = std::string(kDpapiMember) + b64.data();
  return true;
}

bool RecoverPassword(const std::string&, const std::string& member, std::string* plain) {
  const size_t prefix = sizeof kDpapiMember - 1;
  if (member.compare(0, prefix, kDpapiMember) != 0) return false;
  const std::string b64 = member.substr(prefix);
  std::vector<unsigned char> bytes(b64.size());
  size_t len = 0;
  if (sodium_base642bin(bytes.data(), bytes.size(), b64.data(), b64.size(), nullptr, &len, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return false;
  }
  DATA_BLOB in{static_cast<DWORD>(len), bytes.data()};
  LocalBlob out;
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &out.blob)) {
    return false;
  }
  plain->assign(reinterpret_cast<const char*>(out.blob.pbData), out.blob.cbData);
  return true;
}

}  // namespace quasto
