// The Windows client's own conversions and process starts, under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <shellapi.h>

#include <thread>

#include "client/ansi_win32.h"
#include "client/command_line.h"
#include "client/system.h"
#include "shared/fs.h"
#include "shared/folders.h"
#include "shared/test_util.h"
#include "shared/text.h"

namespace quasto::client {
namespace {

using testing::TempDir;

std::string Utf8Of(char16_t c) { return Utf16ToUtf8(std::u16string(1, c)); }

TEST(Win32Ansi, NeverBestFit) {
  bool exact = true;
  const std::string escape = Utf8ToAnsi("..\xEF\xBC\xBC" "outside.bat", &exact);  // U+FF3C
  EXPECT_FALSE(exact);
  EXPECT_EQ(escape.find('\\'), std::string::npos) << escape;
  EXPECT_EQ(escape, "..?outside.bat");
  EXPECT_EQ(Utf8ToAnsi("plain\\name.txt", &exact), "plain\\name.txt");
  EXPECT_TRUE(exact);
  // Cyrillic has its bytes only in code page 1251.
  Utf8ToAnsi("\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD", &exact);
  EXPECT_EQ(exact, GetACP() == 1251);
}

// Whatever this machine's code page is: every character that its best fit
// turns into a separator, a dot or a colon is one the path rule refuses.
TEST(Win32Ansi, PathRuleRefusesWhatThisCodePageFoldsIntoSeparators) {
  int folding = 0;
  for (unsigned c = 0x80; c <= 0xFFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const wchar_t w = static_cast<wchar_t>(c);
    char out[8];
    BOOL defaulted = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, 0, &w, 1, out, sizeof out, nullptr, &defaulted);
    if (n != 1 || defaulted) continue;
    if (out[0] != '\\' && out[0] != '/' && out[0] != '.' && out[0] != ':') continue;
    ++folding;
    const std::string ch = Utf8Of(static_cast<char16_t>(c));
    EXPECT_FALSE(IsSafeEntryPath("", ".." + ch + "outside.bat", true)) << std::hex << c;
    EXPECT_FALSE(IsSafeEntryPath(".." + ch + "\\", "x.bat", true)) << std::hex << c;
  }
  EXPECT_GT(folding, 0) << "code page " << GetACP();
}

// A program is started by its own name: in a Cyrillic folder on a Western
// system, and with a look-alike of "\" in its name, which stays a plain
// character instead of leading one folder up.
TEST(Win32System, ProgramsStartByTheirUnicodeNames) {
  TempDir dir;
  auto system = NewClientSystem();
  const std::string cyrillic = "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\\";
  dir.Write(cyrillic + "run.bat", "@echo ran> marker.txt\r\n");
  ASSERT_TRUE(system->RunProgramAndWait(dir / (cyrillic + "run.bat"), dir / cyrillic));
  EXPECT_EQ(dir.Read(cyrillic + "marker.txt"), "ran\r\n");

  dir.Write("inst\\..\xEF\xBC\xBC" "outside.bat", "@echo inside> marker.txt\r\n");
  dir.Write("outside.bat", "@echo outside> marker.txt\r\n");
  ASSERT_TRUE(
      system->RunProgramAndWait(dir / "inst\\..\xEF\xBC\xBC" "outside.bat", dir / "inst\\"));
  EXPECT_EQ(dir.Read("inst\\marker.txt"), "inside\r\n");
  EXPECT_EQ(dir.Read("marker.txt"), "");
}

// The arguments CommandLineToArgvW gives for a command line, in UTF-8.
std::vector<std::string> Windows(const std::string& line) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(Utf8ToWide(line).c_str(), &argc);
  std::vector<std::string> out;
  for (int i = 0; argv != nullptr && i < argc; ++i) {
    out.push_back(Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(argv[i]))));
  }
  LocalFree(argv);
  return out;
}

const std::vector<std::string> kArguments = {
    "-x", R"(/file=C:\My Docs\a b.txt)", R"(say "hi")", R"(C:\My Docs\)", R"(a\"b)",
    R"(\\server\share)", R"(\"\\")", R"("")", "x\ty",
    "tr\xC3\xA4ume \xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\\", R"(ends in a quote")", " ",
    R"(a\\ \\b\)"};

// The client splits its own command line as the system does, and what it
// writes for a child the system splits back into the very argument.
TEST(Win32CommandLine, SplitAndQuotedAsCommandLineToArgvW) {
  for (const std::string& line :
       {std::string("q.exe  a \t b  "), std::string(R"("C:\x y\q.exe"a b)"),
        std::string(R"(q.exe "" "x y"z a"b c")"),
        std::string(R"(q.exe a\\b "c\\" d\"e "f\\\"g" h\)"),
        std::string(R"(q.exe "a""b c" """x y")"), std::string(R"(q.exe "a"\""b)"),
        std::string(R"("C:\q.exe" "say \"hi\"" "C:\prog dir\\")")}) {
    EXPECT_EQ(SplitCommandLine(line), Windows(line)) << line;
  }
  for (const std::string& arg : kArguments) {
    const std::string line = R"("C:\p\q.exe" )" + QuoteArgument(arg);
    EXPECT_EQ(Windows(line), (std::vector<std::string>{R"(C:\p\q.exe)", arg})) << line;
  }
}

// A program restarted with an argument receives that one argument, as its
// own CommandLineToArgvW reads it.
TEST(Win32System, ARestartedProgramGetsItsArgumentWhole) {
  TempDir dir;
  std::string helper;
  ASSERT_TRUE(fs::ReadFile(FolderPart(fs::ExecutablePath()) + "record_args.exe", &helper));
  dir.Write("prog dir\\app.exe", helper);
  auto system = NewClientSystem();
  for (const std::string& arg : kArguments) {
    fs::RemoveFile(dir / "prog dir\\args.txt");
    std::string why;
    ASSERT_TRUE(system->StartProgram(dir / "prog dir\\app.exe", arg, dir / "prog dir\\", &why));
    std::string got;
    for (int i = 0; i < 200 && got.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      got = dir.Read("prog dir\\args.txt");
    }
    EXPECT_EQ(got, dir / "prog dir\\app.exe" + "\n" + arg + "\n") << arg;
  }
}

}  // namespace
}  // namespace quasto::client
