#include <windows.h>

#include <gtest/gtest.h>

#include "shared/name_key.h"

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR c);

namespace quasto {
namespace {

// The table is generated from Unicode data; the system's own table is what
// its file systems compare names with. Every code unit must agree.
TEST(WindowsNameKeyWin32, TableEqualsTheSystemsUpcaseTable) {
  int differ = 0;
  for (unsigned c = 0; c < 0x10000; ++c) {
    const char16_t ours = UpcaseForNames(static_cast<char16_t>(c));
    const WCHAR system = RtlUpcaseUnicodeChar(static_cast<WCHAR>(c));
    if (ours != system && ++differ <= 10) {
      ADD_FAILURE() << std::hex << "U+" << c << ": ours U+" << static_cast<unsigned>(ours)
                    << ", the system's U+" << static_cast<unsigned>(system);
    }
  }
  EXPECT_EQ(differ, 0);
}

// What the key says is one file, the file system opens as one file.
TEST(WindowsNameKeyWin32, EqualKeysOpenOneFile) {
  wchar_t dir[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, dir), 0u);
  const std::wstring base = std::wstring(dir) + L"quasto-name-key-" +
                            std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
  const std::wstring file = base + L"\\\u00dcbersicht.txt";
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  for (const wchar_t* other : {L"\\\u00fcbersicht.TXT", L"\\\u00dcBERSICHT.txt. ", L"\\\u00fcbersicht.txt..."}) {
    EXPECT_NE(GetFileAttributesW((base + other).c_str()), INVALID_FILE_ATTRIBUTES);
  }
  DeleteFileW(file.c_str());
  RemoveDirectoryW(base.c_str());
}

}  // namespace
}  // namespace quasto
