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
