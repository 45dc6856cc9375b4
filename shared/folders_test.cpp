#include "shared/folders.h"

#include <gtest/gtest.h>

#include "shared/fs.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;

TEST(BaseFolder, ExecutableFolderUnlessBelowTemp) {
  EXPECT_EQ(BaseFolderFor("C:\\Prog\\Tool\\Quastorell.exe", "D:\\Work"), "C:\\Prog\\Tool\\");
  const std::string cwd = std::string("D:\\Work") + fs::Separator();
  EXPECT_EQ(BaseFolderFor("C:\\Users\\x\\AppData\\Local\\Temp\\upd\\Quastorell.exe", "D:\\Work"),
            cwd);
  EXPECT_EQ(BaseFolderFor("C:\\Temp\\Quastorell.exe", "D:\\Work\\"), "D:\\Work\\");
  // Case matters, and so does the folder being a whole name.
  EXPECT_EQ(BaseFolderFor("C:\\temp\\x\\Q.exe", "D:\\W"), "C:\\temp\\x\\");
  EXPECT_EQ(BaseFolderFor("C:\\MyTemp\\Q.exe", "D:\\W"), "C:\\MyTemp\\");
  // The search starts at the third character: a path that begins with the
  // folder itself does not count.
  EXPECT_EQ(BaseFolderFor("\\Temp\\Q.exe", "D:\\W\\"), "\\Temp\\");
  // POSIX paths follow the same rule.
  EXPECT_EQ(BaseFolderFor("/home/u/Temp/q", "/work"), "/work" + std::string(1, fs::Separator()));
  EXPECT_EQ(BaseFolderFor("/opt/app/q", "/work"), "/opt/app/");
}

TEST(BaseFolder, RunningProgramGetsItsOwnFolder) {
  std::string base = FindBaseFolder();
  ASSERT_FALSE(base.empty());
  EXPECT_TRUE(fs::IsSeparator(base.back()));
  EXPECT_EQ(DirectoryExists(base), 1);
}

TEST(Folders, FileAndDirectoryExistence) {
  TempDir dir;
  dir.Write("empty.bin", "");
  dir.Write("sub\\data.txt", "x");
  EXPECT_EQ(FileExists(dir / "empty.bin"), 1);
  EXPECT_EQ(FileExists(dir / "sub\\data.txt"), 1);
  EXPECT_EQ(FileExists(dir / "sub"), 0);
  EXPECT_EQ(FileExists(dir / "missing"), 0);
  EXPECT_EQ(DirectoryExists(dir / "sub"), 1);
  EXPECT_EQ(DirectoryExists(dir / "sub\\"), 1);
  EXPECT_EQ(DirectoryExists(dir / "empty.bin"), 0);
  EXPECT_EQ(DirectoryExists(dir / "missing"), 0);
}

TEST(Folders, CreateDirectoryTreeMakesTheWholeChain) {
  TempDir dir;
  EXPECT_EQ(CreateDirectoryTree(dir / "a b\\c\\d e\\"), 1);
  EXPECT_EQ(DirectoryExists(dir / "a b\\c\\d e"), 1);
  EXPECT_EQ(CreateDirectoryTree(dir / "a b\\c\\d e"), 1);  // already there
  EXPECT_EQ(CreateDirectoryTree(dir / "x\\y"), 1);
  EXPECT_EQ(CreateDirectoryTree(""), 0);
}

TEST(Folders, CreateDirectoryTreeTakesNamesLiterally) {
  TempDir dir;
  // Text a command interpreter would expand or run stays a plain name.
  const std::string names[] = {"%PATH%", "a&b", "it's", "$(echo x)", "semi;colon"};
  for (const auto& name : names) {
    EXPECT_EQ(CreateDirectoryTree(dir / (name + "\\inner")), 1) << name;
    EXPECT_EQ(DirectoryExists(dir / name), 1) << name;
  }
  EXPECT_EQ(DirectoryExists(dir / "a"), 0);
  EXPECT_EQ(DirectoryExists(dir / "b"), 0);
}

TEST(Folders, CreateDirectoryTreeFailsBelowAFile) {
  TempDir dir;
  dir.Write("file", "x");
  EXPECT_EQ(CreateDirectoryTree(dir / "file\\sub"), 0);
  EXPECT_EQ(FileExists(dir / "file"), 1);
}

TEST(Folders, SafeEntryPaths) {
  EXPECT_TRUE(IsSafeEntryPath("", "setup.exe", true));
  EXPECT_TRUE(IsSafeEntryPath("lang\\de\\", "text.xml", true));
  EXPECT_TRUE(IsSafeEntryPath("a b\\\xC3\xBC\\", "\xC3\x9C" "bersicht r\xC3\xA4ume.txt", true));
  EXPECT_TRUE(IsSafeEntryPath("", "notes.", true));
  EXPECT_TRUE(IsSafeEntryPath("", ".htaccess", true));
  EXPECT_TRUE(IsSafeEntryPath("docs\\", "", false));  // a directory entry
  EXPECT_TRUE(IsSafeEntryPath("", "console.log", true));
  EXPECT_TRUE(IsSafeEntryPath("", "COM10", true));

  struct Case {
    const char* path;
    const char* name;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"", ""},                       // a file without a name
           {"..\\", "x.dll"},              // leaves the folder
           {"a\\..\\..\\", "x.dll"},
           {"", ".."},
           {"a\\.\\", "x"},
           {"...\\", "x"},
           {". .\\", "x"},
           {"\\", "x"},                    // absolute
           {"\\Windows\\", "x"},
           {"\\\\server\\share\\", "x"},   // UNC
           {"C:\\", "x"},                  // drive
           {"C:x\\", "y"},
           {"", "file.txt:stream"},        // alternate data stream
           {"a\\\\", "x"},                 // empty segment
           {"a/b\\", "x"},                 // foreign separator
           {"a", "x"},                     // no trailing separator
           {"", "sub\\x"},
           {"", "a/b"},
           {"", "CON"},
           {"", "nul.txt"},
           {"Lpt1\\", "x"},
           {"", "aux .log"},
           {"", "COM\xC2\xB9"},
           {"", "tab\there"},
           {"", "star*"},
       }) {
    EXPECT_FALSE(IsSafeEntryPath(c.path, c.name, true)) << c.path << "|" << c.name;
  }
  EXPECT_FALSE(IsSafeEntryPath("..\\", "", false));
}

// Names an ANSI conversion with best fit would turn into "..\" or "C:\", and
// controls a terminal would act on.
TEST(Folders, LookAlikeSeparatorsDotsAndControlsAreRefused) {
  const std::string fw_backslash = "\xEF\xBC\xBC";  // U+FF3C FULLWIDTH REVERSE SOLIDUS
  const std::string fw_slash = "\xEF\xBC\x8F";      // U+FF0F FULLWIDTH SOLIDUS
  const std::string fw_dot = "\xEF\xBC\x8E";        // U+FF0E FULLWIDTH FULL STOP
  const std::string division_slash = "\xE2\x88\x95";  // U+2215
  for (const std::string& name : {
           ".." + fw_backslash + "outside.bat",
           fw_dot + fw_dot + fw_backslash + "outside.bat",
           ".." + fw_slash + "outside.bat",
           ".." + division_slash + "outside.bat",
           ".." + fw_backslash + ".." + fw_backslash + "outside.bat",
           std::string("..\xE2\x88\x96x"),   // U+2216 SET MINUS
           std::string("..\xE2\x81\x84x"),   // U+2044 FRACTION SLASH
           std::string("C\xEF\xBC\x9Ax"),    // U+FF1A FULLWIDTH COLON
           std::string("\xE2\x80\xA6x"),     // U+2026 ELLIPSIS
           std::string("..\xC2\xA5x"),        // U+00A5 YEN SIGN, "\" in code page 932
           std::string("..\xEF\xB9\xA8x"),   // U+FE68 SMALL REVERSE SOLIDUS
           std::string("del\x7F"),
           std::string("csi\xC2\x9B" "2J"),  // U+009B, a terminal's ESC [
           std::string("raw\x9B" "2J"),       // the same as a lone byte
       }) {
    EXPECT_FALSE(IsSafeEntryPath("", name, true)) << name;
    EXPECT_FALSE(IsSafeEntryPath(name + "\\", "x.dll", true)) << name;
    EXPECT_FALSE(IsSafeEntryPath("", name, false)) << name;
  }
  // Fullwidth letters, Cyrillic and umlauts fold into nothing dangerous.
  EXPECT_TRUE(IsSafeEntryPath("\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\\", "run.bat", true));
  EXPECT_TRUE(IsSafeEntryPath("", "\xEF\xBC\xA1\xEF\xBC\xA2.txt", true));  // U+FF21 U+FF22
  EXPECT_TRUE(IsSafeEntryPath("", "caf\xC3\xA9 \xC2\xBB" "1\xC2\xAB.txt", true));
}

TEST(Folders, LeadsIntoFollowsWhatExistsAndJudgesTheRestByItsFolder) {
  TempDir dir;
  dir.Write("inst\\a\\file.txt", "x");
  dir.Write("other\\x.txt", "x");
  const std::string inst = dir / "inst\\";
  EXPECT_TRUE(LeadsInto(inst, inst + "a\\file.txt"));
  EXPECT_TRUE(LeadsInto(inst, inst + "a\\new\\deeper\\new.txt"));  // not there yet
  EXPECT_TRUE(LeadsInto(inst, inst));
  EXPECT_FALSE(LeadsInto(inst, dir / "other\\x.txt"));
  EXPECT_FALSE(LeadsInto(inst, inst + "..\\other\\x.txt"));
  EXPECT_FALSE(LeadsInto(dir / "inst", dir / "inst2\\x"));  // a prefix of the name is no folder
  EXPECT_FALSE(LeadsInto(dir / "missing\\", dir / "missing\\x"));
  EXPECT_TRUE(fs::SameFile(inst + "a\\file.txt", dir / "inst\\a\\..\\a\\file.txt"));
  EXPECT_FALSE(fs::SameFile(inst + "a\\file.txt", dir / "other\\x.txt"));
  EXPECT_FALSE(fs::SameFile(inst + "missing", inst + "missing"));
}

TEST(Folders, PathParts) {
  EXPECT_EQ(FilePart("C:\\a\\b.txt"), "b.txt");
  EXPECT_EQ(FilePart("/x/y"), "y");
  EXPECT_EQ(FilePart("plain"), "plain");
  EXPECT_EQ(FolderPart("C:\\a\\b.txt"), "C:\\a\\");
  EXPECT_EQ(FolderPart("plain"), "");
  EXPECT_EQ(WithTrailingSeparator("C:\\Prog"), "C:\\Prog\\");
  EXPECT_EQ(WithTrailingSeparator("C:\\Prog\\"), "C:\\Prog\\");
}

}  // namespace
}  // namespace quasto
