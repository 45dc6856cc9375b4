#include "shared/fs.h"

#include <gtest/gtest.h>

#include <ctime>

#include "shared/dates.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;

TEST(ExclusiveLock, OneHolderAtATime) {
  TempDir dir;
  const std::string file = dir / "Quastorell.lock";
  fs::ExclusiveLock a, b;
  EXPECT_EQ(a.Acquire(file), fs::ExclusiveLock::Result::kLocked);
  EXPECT_EQ(b.Acquire(file), fs::ExclusiveLock::Result::kHeld);
  a.Release();
  EXPECT_EQ(b.Acquire(file), fs::ExclusiveLock::Result::kLocked);
  b.Release();
  EXPECT_EQ(a.Acquire(dir / "missing\\Quastorell.lock"), fs::ExclusiveLock::Result::kFailed);
  EXPECT_EQ(a.Acquire(dir.path()), fs::ExclusiveLock::Result::kFailed);  // a folder
}

// Tests run with TZ=Europe/Berlin: date values must be local wall-clock time.
TEST(FileDates, NowIsLocalWallClock) {
  const int64_t utc = static_cast<int64_t>(std::time(nullptr));
  const int64_t diff = static_cast<int64_t>(fs::NowDateValue()) - utc;
  EXPECT_TRUE((diff >= 3599 && diff <= 3601) || (diff >= 7199 && diff <= 7201)) << diff;
}

TEST(FileDates, SetAndReadBackInWinterAndSummer) {
  TempDir dir;
  dir.Write("f.txt", "x");
  const std::string path = dir / "f.txt";
  for (const CivilTime t : {CivilTime{2024, 1, 15, 10, 30, 0}, CivilTime{2024, 7, 1, 23, 59, 58},
                            CivilTime{1999, 12, 31, 0, 0, 0}}) {
    const int32_t value = DateValueFromCivil(t);
    ASSERT_TRUE(fs::SetFileDate(path, value));
    EXPECT_EQ(fs::FileDate(path), value) << FormatDate(value);
  }
  EXPECT_EQ(fs::FileDate(dir / "missing"), 0);
}

TEST(FileAttributes, ReadOnlyBitRoundTrips) {
  TempDir dir;
  dir.Write("f.txt", "x");
  const std::string path = dir / "f.txt";
  ASSERT_TRUE(fs::SetAttributes(path, fs::kAttrReadOnly | fs::kAttrArchive));
  EXPECT_EQ(fs::Attributes(path) & fs::kAttrReadOnly, fs::kAttrReadOnly);
  ASSERT_TRUE(fs::SetAttributes(path, fs::kAttrArchive));
  EXPECT_EQ(fs::Attributes(path) & fs::kAttrReadOnly, 0);
  EXPECT_EQ(fs::Attributes(dir / "missing"), -1);
  EXPECT_NE(fs::Attributes(dir.path()) & fs::kAttrDirectory, 0);
}

TEST(FileOps, RenameRefusesAnExistingTargetReplaceDoesNot) {
  TempDir dir;
  dir.Write("a", "A");
  dir.Write("b", "B");
  EXPECT_FALSE(fs::Rename(dir / "a", dir / "b"));
  EXPECT_EQ(dir.Read("b"), "B");
  EXPECT_TRUE(fs::ReplaceWith(dir / "a", dir / "b"));
  EXPECT_EQ(dir.Read("b"), "A");
  EXPECT_EQ(fs::FileSize(dir / "a"), -1);
  EXPECT_TRUE(fs::Rename(dir / "b", dir / "c"));
  EXPECT_EQ(dir.Read("c"), "A");
}

TEST(FileOps, ReadWriteAndListUnicodeNames) {
  TempDir dir;
  const std::string name = "Gr\xC3\xBC\xC3\x9F" "e mit Leerzeichen \xE2\x82\xAC.txt";
  const std::string content("bin\0ary\r\n", 9);
  ASSERT_TRUE(fs::WriteFile(dir / name, content));
  std::string back;
  ASSERT_TRUE(fs::ReadFile(dir / name, &back));
  EXPECT_EQ(back, content);
  EXPECT_EQ(fs::FileSize(dir / name), 9);
  ASSERT_TRUE(fs::MakeDirectory(dir / "sub"));

  std::vector<fs::DirEntry> entries;
  ASSERT_TRUE(fs::ListDirectory(dir.path(), &entries));
  ASSERT_EQ(entries.size(), 2u);
  bool saw_file = false, saw_dir = false;
  for (const auto& e : entries) {
    if (e.name == name && !e.is_directory) saw_file = true;
    if (e.name == "sub" && e.is_directory) saw_dir = true;
  }
  EXPECT_TRUE(saw_file);
  EXPECT_TRUE(saw_dir);
  EXPECT_FALSE(fs::ListDirectory(dir / "missing", &entries));
  EXPECT_FALSE(fs::ReadFile(dir / "sub", &back));
  EXPECT_FALSE(fs::RemoveFile(dir / "sub"));
  EXPECT_TRUE(fs::RemoveDir(dir / "sub"));
}

TEST(FileOps, AtomicWriteReplacesWholeAndLeavesNoTemporary) {
  TempDir dir;
  ASSERT_TRUE(fs::WriteFileAtomic(dir / "doc", std::string(100000, 'a')));
  ASSERT_TRUE(fs::WriteFileAtomic(dir / "doc", "short"));
  EXPECT_EQ(dir.Read("doc"), "short");
  std::vector<fs::DirEntry> entries;
  ASSERT_TRUE(fs::ListDirectory(dir.path(), &entries));
  EXPECT_EQ(entries.size(), 1u);
}

}  // namespace
}  // namespace quasto
