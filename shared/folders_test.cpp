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
