#include "shared/packer.h"

#include <gtest/gtest.h>

#include <random>

#include "shared/content_hash.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;

std::string Noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

std::string Text(size_t n) {
  std::string s;
  for (size_t i = 0; s.size() < n; ++i) s += "line " + std::to_string(i % 977) + " of some text\n";
  s.resize(n);
  return s;
}

// The streamed packed file must be the one the in-memory packer makes, and it
// must unpack to the content.
void ExpectSameAsInMemory(const std::string& content) {
  TempDir dir;
  dir.Write("src.bin", content);
  PackResult r;
  ASSERT_EQ(PackFileTo(dir / "src.bin", dir / "out.uzf", &r), PackStatus::kOk);
  std::string packed = dir.Read("out.uzf");
  EXPECT_EQ(packed, PackContent(content)) << "content size " << content.size();
  EXPECT_EQ(r.crc, Crc32(packed));
  EXPECT_EQ(r.packed_size, packed.size());
  EXPECT_EQ(r.content_size, content.size());
  EXPECT_EQ(r.sha256, Sha256Hex(content)) << "the hash of what was packed, also when stored";
  std::string back;
  ASSERT_EQ(UnpackContent(packed, &back), UnpackStatus::kOk);
  EXPECT_EQ(back, content);
  EXPECT_EQ(fs::FileSize(dir / "out.uzf.part"), -1) << "temporary file left behind";
}

TEST(Packer, MatchesInMemoryPackerAcrossSizes) {
  ExpectSameAsInMemory(Text(100));
  ExpectSameAsInMemory(Text((1 << 20) - 3));       // just under one read chunk
  ExpectSameAsInMemory(Text(3 * (1 << 20) + 17));  // several chunks
}

TEST(Packer, IncompressibleContentIsStored) {
  ExpectSameAsInMemory(Noise(5000, 1));
  ExpectSameAsInMemory(Noise(2 * (1 << 20) + 5, 2));
  TempDir dir;
  dir.Write("a", Noise(4096, 3));
  PackResult r;
  ASSERT_EQ(PackFileTo(dir / "a", dir / "a.uzf", &r), PackStatus::kOk);
  EXPECT_TRUE(r.stored);
  EXPECT_EQ(r.packed_size, 4096u + 16u);
}

TEST(Packer, TinyAndEmptyFilesAreStored) {
  ExpectSameAsInMemory("abc");
  TempDir dir;
  dir.Write("empty", "");
  PackResult r;
  ASSERT_EQ(PackFileTo(dir / "empty", dir / "e.uzf", &r), PackStatus::kOk);
  EXPECT_EQ(dir.Read("e.uzf"), std::string(16, '\0'));  // header 0.0 / 0.0
  EXPECT_EQ(r.crc, Crc32(std::string(16, '\0')));
}

// Large content goes to the two-thread encoder. Its packed file has the same
// form, unpacks with the client's reader (liblzma's raw decoder) and falls
// back to stored content as liblzma's does. The threshold is lowered here so
// that the sanitized build stays quick.
TEST(Packer, TwoThreadEncoderWritesWhatTheClientReads) {
  const PackOptions two_threads{0};
  TempDir dir;
  for (const std::string& content :
       {Text(3 * (1 << 20) + 11), Text(5000) + Noise(300, 4)}) {
    dir.Write("src.bin", content);
    PackResult r;
    ASSERT_EQ(PackFileTo(dir / "src.bin", dir / "out.uzf", &r, two_threads), PackStatus::kOk);
    const std::string packed = dir.Read("out.uzf");
    EXPECT_FALSE(r.stored) << content.size();
    EXPECT_EQ(r.crc, Crc32(packed));
    EXPECT_EQ(r.packed_size, packed.size());
    EXPECT_EQ(r.sha256, Sha256Hex(content));
    PackedHeader h;
    ASSERT_EQ(ReadPackedHeader(packed, &h), UnpackStatus::kOk);
    EXPECT_EQ(h.packed_length + 16, static_cast<double>(packed.size()));
    EXPECT_EQ(packed[16], '\x5d') << "lc 3, lp 0, pb 2";
    std::string back;
    ASSERT_EQ(UnpackContent(packed, &back), UnpackStatus::kOk) << content.size();
    EXPECT_TRUE(back == content) << content.size();
    EXPECT_EQ(fs::FileSize(dir / "out.uzf.part"), -1);
  }
  const std::string noise = Noise(2 * (1 << 20) + 5, 5);
  dir.Write("noise", noise);
  PackResult r;
  ASSERT_EQ(PackFileTo(dir / "noise", dir / "n.uzf", &r, two_threads), PackStatus::kOk);
  EXPECT_TRUE(r.stored);
  EXPECT_EQ(dir.Read("n.uzf"), PackContent(noise)) << "stored form, header 0.0";
  EXPECT_EQ(r.sha256, Sha256Hex(noise));
  // Below the threshold nothing changes: PackContent's bytes.
  EXPECT_LT(uint64_t{3} << 20, kTwoThreadEncoderFrom);
}

TEST(Packer, FailuresLeaveThePreviousPackedFile) {
  TempDir dir;
  dir.Write("old.uzf", "previous");
  PackResult r;
  EXPECT_EQ(PackFileTo(dir / "missing", dir / "old.uzf", &r), PackStatus::kSourceUnreadable);
  EXPECT_EQ(dir.Read("old.uzf"), "previous");
  EXPECT_EQ(PackFileTo(dir.path(), dir / "old.uzf", &r), PackStatus::kSourceUnreadable)
      << "a folder is no source";
  dir.Write("src", Text(1000));
  EXPECT_EQ(PackFileTo(dir / "src", dir / "no\\such\\folder\\x.uzf", &r), PackStatus::kWriteFailed);
  EXPECT_EQ(dir.Read("old.uzf"), "previous");
}

}  // namespace
}  // namespace quasto
