#include "shared/content_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "shared/dates.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;

const int32_t kLongAgo = DateValueFromCivil({2021, 4, 1, 9, 30, 0});

TEST(Sha256, KnownValuesStreamedOrWhole) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 h;
  h.Update("a");
  h.Update("");
  h.Update("bc");
  EXPECT_EQ(h.FinishHex(), Sha256Hex("abc"));

  EXPECT_TRUE(IsSha256Hex(Sha256Hex("x")));
  EXPECT_FALSE(IsSha256Hex(""));
  EXPECT_FALSE(IsSha256Hex(std::string(63, 'a')));
  EXPECT_FALSE(IsSha256Hex(std::string(65, 'a')));
  EXPECT_FALSE(IsSha256Hex(std::string(64, 'A')));  // the manifest form is lower case
  EXPECT_FALSE(IsSha256Hex(std::string(63, 'a') + "g"));
}

// Digests taken from sha256sum: the padding's edges (55/56 bytes fill one
// block, 64 is one block exactly), the two-block standard vector, a million
// bytes, each fed whole and in pieces that straddle the blocks.
TEST(Sha256, AgreesWithSha256sumAtBlockEdgesWholeAndInPieces) {
  const struct {
    size_t n;
    const char* hex;
  } kRuns[] = {
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
      {1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& run : kRuns) {
    const std::string data(run.n, 'a');
    EXPECT_EQ(Sha256Hex(data), run.hex) << run.n;
    for (size_t piece : {1, 7, 63, 64, 65, 4099}) {
      Sha256 h;
      for (size_t at = 0; at < data.size(); at += piece) {
        h.Update(std::string_view(data).substr(at, piece));
      }
      EXPECT_EQ(h.FinishHex(), run.hex) << run.n << " bytes in pieces of " << piece;
    }
  }
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// The staging hashes on worker threads while the caller hashes too.
TEST(Sha256, ObjectsOnSeveralThreadsAtOnce) {
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
  const std::string expected = Sha256Hex(data);
  std::vector<std::string> got(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < got.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        Sha256 h;
        h.Update(std::string_view(data).substr(0, 1000 + t));
        h.Update(std::string_view(data).substr(1000 + t));
        got[t] = h.FinishHex();
        if (got[t] != expected) return;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& hex : got) EXPECT_EQ(hex, expected);
}

TEST(Sha256, FileHashedInPiecesEqualsTheContentsHash) {
  TempDir dir;
  // Longer than the read buffer, ending off a block; digest from sha256sum.
  std::string big((3u << 20) + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7 + 3) % 251);
  dir.Write("big.bin", big);
  std::string hex;
  ASSERT_TRUE(HashFile(dir / "big.bin", &hex));
  EXPECT_EQ(hex, "b94a81035474d847a7b5f270ed72d10d51a5643254d6495dce93e2022aa22ac7");
  dir.Write("empty", "");
  ASSERT_TRUE(HashFile(dir / "empty", &hex));
  EXPECT_EQ(hex, Sha256Hex(""));
  EXPECT_FALSE(HashFile(dir / "missing", &hex));
}

class HashCacheTest : public ::testing::Test {
 protected:
  // A file last written long ago, as a released program's files are.
  void PutOld(const std::string& rel, const std::string& content) {
    dir_.Write(rel, content);
    ASSERT_TRUE(fs::SetFileDate(dir_ / rel, kLongAgo));
  }
  HashCache Fresh() {
    HashCache c(cache_file_, dir_.path());
    c.Load();
    return c;
  }
  std::string HashOf(HashCache& c, const std::string& key) {
    std::string hex;
    EXPECT_TRUE(c.Hash(key, &hex)) << key;
    return hex;
  }

  TempDir dir_;
  TempDir data_;
  std::string cache_file_ = data_ / kHashCacheFile;
};

TEST_F(HashCacheTest, WarmCacheReadsNothingAndAChangedStampIsReadAgain) {
  PutOld("a.dll", "version one");
  PutOld("sub\\b.txt", "bee");
  {
    HashCache c = Fresh();
    EXPECT_EQ(HashOf(c, "a.dll"), Sha256Hex("version one"));
    EXPECT_EQ(HashOf(c, "sub\\b.txt"), Sha256Hex("bee"));
    EXPECT_EQ(c.files_hashed(), 2);
    ASSERT_TRUE(c.Save());
  }
  {
    HashCache c = Fresh();
    EXPECT_EQ(HashOf(c, "a.dll"), Sha256Hex("version one"));
    EXPECT_EQ(HashOf(c, "sub\\b.txt"), Sha256Hex("bee"));
    EXPECT_EQ(c.files_hashed(), 0);
  }
  // Another size, or another date with the same size: read again.
  PutOld("a.dll", "version two!");
  dir_.Write("sub\\b.txt", "BEE");
  ASSERT_TRUE(fs::SetFileDate(dir_ / "sub\\b.txt", kLongAgo + 60));
  HashCache c = Fresh();
  EXPECT_EQ(HashOf(c, "a.dll"), Sha256Hex("version two!"));
  EXPECT_EQ(HashOf(c, "sub\\b.txt"), Sha256Hex("BEE"));
  EXPECT_EQ(c.files_hashed(), 2);
}

TEST_F(HashCacheTest, SameSizeAndDateWithOtherContentIsNotTakenFromTheCache) {
  PutOld("a.dll", "AAAA");
  {
    HashCache c = Fresh();
    HashOf(c, "a.dll");
    ASSERT_TRUE(c.Save());
  }
  PutOld("a.dll", "BBBB");  // same size, same last-write time
  HashCache c = Fresh();
  EXPECT_EQ(HashOf(c, "a.dll"), Sha256Hex("BBBB"));
  EXPECT_EQ(c.files_hashed(), 1);
}

TEST_F(HashCacheTest, AFileWrittenJustNowIsNotVouchedForByItsStamp) {
  dir_.Write("fresh.txt", "one");  // last written now
  {
    HashCache c = Fresh();
    HashOf(c, "fresh.txt");
    ASSERT_TRUE(c.Save());
  }
  // A second write within the same clock tick would leave the same stamp;
  // so the next run reads the file again instead of trusting the record.
  HashCache c = Fresh();
  HashOf(c, "fresh.txt");
  EXPECT_EQ(c.files_hashed(), 1);
}

TEST_F(HashCacheTest, DamagedForeignOrTornCachesAreNotUsed) {
  PutOld("a.dll", "version one");
  {
    HashCache c = Fresh();
    HashOf(c, "a.dll");
    ASSERT_TRUE(c.Save());
  }
  const std::string good = data_.Read(kHashCacheFile);
  ASSERT_NE(good.find(Sha256Hex("version one")), std::string::npos);

  std::string wrong_hash = good;
  wrong_hash[wrong_hash.find(Sha256Hex("version one"))] ^= 1;
  std::string torn = good.substr(0, good.size() - 5);
  std::string garbage = "\x01\x02not a cache";
  for (const std::string& bad : {wrong_hash, torn, garbage, std::string()}) {
    ASSERT_TRUE(fs::WriteFile(cache_file_, bad));
    HashCache c = Fresh();
    EXPECT_EQ(HashOf(c, "a.dll"), Sha256Hex("version one"));
    EXPECT_EQ(c.files_hashed(), 1);
  }

  // A cache made for another folder says nothing about this one.
  ASSERT_TRUE(fs::WriteFile(cache_file_, good));
  HashCache other(cache_file_, dir_ / "sub\\");
  other.Load();
  dir_.Write("sub\\a.dll", "elsewhere");
  std::string hex;
  ASSERT_TRUE(other.Hash("a.dll", &hex));
  EXPECT_EQ(hex, Sha256Hex("elsewhere"));
}

TEST_F(HashCacheTest, SaveKeepsWhatWasUsedAndMissingFilesAreForgotten) {
  PutOld("keep.txt", "k");
  PutOld("drop.txt", "d");
  PutOld("gone.txt", "g");
  {
    HashCache c = Fresh();
    HashOf(c, "keep.txt");
    HashOf(c, "drop.txt");
    HashOf(c, "gone.txt");
    ASSERT_TRUE(c.Save());
  }
  ASSERT_TRUE(fs::RemoveFile(dir_ / "gone.txt"));
  {
    HashCache c = Fresh();
    HashOf(c, "keep.txt");
    std::string hex;
    EXPECT_FALSE(c.Hash("gone.txt", &hex));
    ASSERT_TRUE(c.Save());
  }
  const std::string text = data_.Read(kHashCacheFile);
  EXPECT_NE(text.find("keep.txt"), std::string::npos);
  EXPECT_EQ(text.find("drop.txt"), std::string::npos);
  EXPECT_EQ(text.find("gone.txt"), std::string::npos);

  // Nothing changed: the file is not written again.
  const fs::FileStamp before = [&] {
    fs::FileStamp s;
    fs::StatFile(cache_file_, &s);
    return s;
  }();
  HashCache c = Fresh();
  HashOf(c, "keep.txt");
  ASSERT_TRUE(c.Save());
  fs::FileStamp after;
  ASSERT_TRUE(fs::StatFile(cache_file_, &after));
  EXPECT_EQ(after, before);
}

TEST_F(HashCacheTest, RecordedHashesNeedAStableOldStamp) {
  PutOld("w.bin", "written by the caller");
  const std::string hex = Sha256Hex("written by the caller");
  fs::FileStamp stamp;
  ASSERT_TRUE(fs::StatFile(dir_ / "w.bin", &stamp));
  {
    HashCache c = Fresh();
    c.Record("w.bin", hex, fs::ClockNowNs(), &stamp);
    ASSERT_TRUE(c.Save());
  }
  {
    HashCache c = Fresh();
    EXPECT_EQ(HashOf(c, "w.bin"), hex);
    EXPECT_EQ(c.files_hashed(), 0);
  }
  // The file moved on while it was read: what was hashed may not be on disk.
  fs::FileStamp moved = stamp;
  moved.size += 1;
  {
    HashCache c = Fresh();
    c.Record("w.bin", Sha256Hex("something else"), fs::ClockNowNs(), &moved);
    ASSERT_TRUE(c.Save());
  }
  HashCache c = Fresh();
  EXPECT_EQ(HashOf(c, "w.bin"), hex);
  EXPECT_EQ(c.files_hashed(), 1);
}

// Windows finds "ReadMe.txt" under "readme.txt" too: the cache holds one
// entry for all spellings of a file. On a system where the spellings name two
// files, a hash recorded for one is never given for the other, even when
// their stamps are alike.
TEST_F(HashCacheTest, OneEntryForAllSpellingsOfAFile) {
  PutOld("readme.txt", "old readme");
  PutOld("ReadMe.txt", "other file where names have letter case");
  // Where Windows' rules hold (under Wine too), that is one file.
  const bool one_file = fs::SameFile(dir_ / "readme.txt", dir_ / "ReadMe.txt");
  const std::string lower = Sha256Hex(one_file ? "other file where names have letter case"
                                               : "old readme");
  const std::string upper = Sha256Hex("other file where names have letter case");
  {
    HashCache c = Fresh();
    EXPECT_EQ(HashOf(c, "readme.txt"), lower);
    EXPECT_EQ(HashOf(c, "ReadMe.txt"), upper);
    EXPECT_EQ(c.size(), 1u);
    ASSERT_TRUE(c.Save());
  }
  const std::string saved = data_.Read(kHashCacheFile);
  EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 3) << saved;  // header, one, end

  // A cache with one line per spelling, each holding the stamp of the other
  // spelling and a wrong hash: neither is taken for the other spelling.
  fs::FileStamp lower_stamp, upper_stamp;
  ASSERT_TRUE(fs::StatFile(dir_ / "readme.txt", &lower_stamp));
  ASSERT_TRUE(fs::StatFile(dir_ / "ReadMe.txt", &upper_stamp));
  auto line = [](const fs::FileStamp& s, const std::string& hex, const std::string& key) {
    return hex + "\t" + std::to_string(s.size) + "\t" + std::to_string(s.mtime_ns) + "\t" +
           std::to_string(s.change_ns) + "\t" + key + "\n";
  };
  std::string text = "Quastorell hash cache 1\t" + dir_.path() + "\n" +
                     line(upper_stamp, Sha256Hex("wrong one"), "readme.txt") +
                     line(lower_stamp, Sha256Hex("wrong two"), "ReadMe.txt");
  text += "end\t" + [&] {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", Crc32(text));
    return std::string(buf);
  }() + "\n";
  HashCache c(cache_file_, dir_.path());
  ASSERT_TRUE(c.LoadText(text));
  EXPECT_EQ(c.size(), 1u);
  EXPECT_EQ(HashOf(c, "readme.txt"), lower);
  EXPECT_EQ(HashOf(c, "ReadMe.txt"), upper);
}

}  // namespace
}  // namespace quasto
