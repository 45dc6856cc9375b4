#include "shared/fs.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "shared/dates.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::MakeFifo;
using testing::MakeSymlink;
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

// What a scan needs to stay inside its folder: links (made by the host, as
// Wine sees them), where they lead, and what is no file at all.
TEST(StatEntry, TellsLinksWhereTheyLeadAndWhatIsNoFile) {
  TempDir dir;
  dir.Write("in\\file.txt", "in");
  dir.Write("in\\sub\\x.txt", "x");
  dir.Write("out\\secret.txt", "secret");
  const std::string in = dir / "in\\";
  ASSERT_TRUE(MakeSymlink("file.txt", in + "to_file"));
  ASSERT_TRUE(MakeSymlink("sub", in + "to_sub"));
  ASSERT_TRUE(MakeSymlink(dir / "out\\secret.txt", in + "to_secret"));
  ASSERT_TRUE(MakeSymlink(dir / "out", in + "to_out"));
  ASSERT_TRUE(MakeFifo(in + "fifo"));
  std::string root;
  ASSERT_TRUE(fs::ResolvePath(in, &root));
  while (fs::IsSeparator(root.back())) root.pop_back();
  std::string out;
  ASSERT_TRUE(fs::ResolvePath(dir / "out", &out));
  // Where an entry leads: where it is listed unless it says otherwise.
  auto leads_to = [&](const std::string& name, fs::EntryInfo* info) {
    EXPECT_TRUE(fs::StatEntry(in + name, info)) << name;
    return info->resolved.empty() ? root + fs::Separator() + name : info->resolved;
  };
  fs::EntryInfo info;
  EXPECT_EQ(leads_to("file.txt", &info), root + fs::Separator() + "file.txt");
  EXPECT_FALSE(info.is_link || info.is_special || info.info.is_directory);
  EXPECT_EQ(info.info.stamp.size, 2);
  EXPECT_EQ(leads_to("to_file", &info), root + fs::Separator() + "file.txt");
  EXPECT_FALSE(info.info.is_directory);
  EXPECT_EQ(leads_to("to_sub", &info), root + fs::Separator() + "sub");
  EXPECT_TRUE(info.is_link) << "a link to a folder is marked as one on every platform";
  EXPECT_TRUE(info.info.is_directory);
  EXPECT_EQ(leads_to("to_secret", &info), out + fs::Separator() + "secret.txt");
  EXPECT_EQ(leads_to("to_out", &info), out);
  EXPECT_TRUE(info.info.is_directory);
  leads_to("fifo", &info);
  EXPECT_TRUE(info.is_special);
  EXPECT_FALSE(info.info.is_directory);
  EXPECT_FALSE(fs::StatEntry(in + "missing", &info));
}

TEST(StatEntry, ALinkThatLeadsNowhereIsDangling) {
  TempDir dir;
  ASSERT_TRUE(MakeSymlink("missing", dir / "nowhere"));
  fs::EntryInfo info;
  // Wine does not even list such a link; the host does.
  if (!fs::StatEntry(dir / "nowhere", &info)) GTEST_SKIP() << "not visible here";
  EXPECT_TRUE(info.is_link);
  EXPECT_TRUE(info.dangling);
}

TEST(FileOps, OnlyGroupOrOtherReadBitsMakeAFileReadableByOthers) {
  TempDir dir;
  dir.Write("key", "secret");
  namespace sf = std::filesystem;
  const sf::path key(fs::NativePath(dir / "key"));
  sf::permissions(key, sf::perms::owner_read | sf::perms::owner_write);
  EXPECT_FALSE(fs::ReadableByOthers(dir / "key"));
  sf::permissions(key, sf::perms::group_read, sf::perm_options::add);
  // Windows has no such bits: there the answer stays no.
  EXPECT_EQ(fs::ReadableByOthers(dir / "key"), fs::Separator() == '/');
  sf::permissions(key, sf::perms::group_read, sf::perm_options::remove);
  sf::permissions(key, sf::perms::others_read, sf::perm_options::add);
  EXPECT_EQ(fs::ReadableByOthers(dir / "key"), fs::Separator() == '/');
}

}  // namespace
}  // namespace quasto
