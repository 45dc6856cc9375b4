#include "shared/packed_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>

namespace quasto {
namespace {

std::string Header(double packed, double unpacked) {
  char h[kPackedHeaderSize];
  WritePackedHeader({packed, unpacked}, h);
  return std::string(h, sizeof(h));
}

std::string Compressible(size_t n) {
  std::string s;
  while (s.size() < n) s += "The quick brown fox jumps over the lazy dog. ";
  s.resize(n);
  return s;
}

std::string Random(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

TEST(Crc32, KnownValuesAndChaining) {
  EXPECT_EQ(Crc32("abc"), 0x352441C2u);
  EXPECT_EQ(static_cast<int32_t>(Crc32("abc")), 891568578);
  EXPECT_EQ(Crc32(""), 0u);
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32("456789", Crc32("123")), Crc32("123456789"));
}

TEST(PackName, Rules) {
  EXPECT_EQ(MakePackName("setup.exe", ""), "setup[exe].uzf");
  EXPECT_EQ(MakePackName("text.xml", "lang\\de\\"), "{langde}text[xml].uzf");
  EXPECT_EQ(MakePackName("README", ""), "README[].uzf");
  EXPECT_EQ(MakePackName(".htaccess", ""), ".htaccess[].uzf");
  EXPECT_EQ(MakePackName("notes.", ""), "notes.[].uzf");
  EXPECT_EQ(MakePackName("archive.tar.gz", "a\\"), "{a}archive.tar[gz].uzf");
  EXPECT_EQ(MakePackName("my file.txt", ""), "my file[txt].uzf");
  EXPECT_EQ(MakePackName("v1. final", ""), "v1. final[].uzf");  // a space after the dot
  EXPECT_EQ(MakePackName("..x", ""), ".[x].uzf");
  // Folders that differ only in where the separators stand share a name.
  EXPECT_EQ(MakePackName("f.txt", "ab\\c\\"), MakePackName("f.txt", "a\\bc\\"));
}

TEST(PackedFile, CompressibleContentIsLzmaAndRoundTrips) {
  const std::string content = Compressible(300000);
  const std::string packed = PackContent(content);
  PackedHeader h;
  ASSERT_EQ(ReadPackedHeader(packed, &h), UnpackStatus::kOk);
  EXPECT_GT(h.packed_length, 5);
  EXPECT_EQ(h.unpacked_length, 300000);
  EXPECT_EQ(packed.size(), kPackedHeaderSize + static_cast<size_t>(h.packed_length));
  EXPECT_LT(packed.size(), content.size() / 10);
  // Properties: lc=3, lp=0, pb=2.
  EXPECT_EQ(static_cast<uint8_t>(packed[16]), (2 * 5 + 0) * 9 + 3);

  std::string back;
  ASSERT_EQ(UnpackContent(packed, &back), UnpackStatus::kOk);
  EXPECT_EQ(back, content);
}

TEST(PackedFile, IncompressibleContentIsStored) {
  for (size_t n : {1u, 3u, 100u, 70000u}) {
    const std::string content = Random(n, static_cast<unsigned>(n));
    const std::string packed = PackContent(content);
    ASSERT_EQ(packed.size(), content.size() + 16) << n;
    EXPECT_EQ(packed.substr(0, 16), Header(0.0, static_cast<double>(n)));
    EXPECT_EQ(packed.substr(16), content);
    std::string back;
    ASSERT_EQ(UnpackContent(packed, &back), UnpackStatus::kOk);
    EXPECT_EQ(back, content);
  }
}

TEST(PackedFile, HeaderIsTwoLittleEndianDoubles) {
  const std::string h = Header(1.0, 1024.0);
  EXPECT_EQ(h, std::string("\0\0\0\0\0\0\xF0\x3F\0\0\0\0\0\0\x90\x40", 16));
}

TEST(PackedFile, StoredPayloadIsTakenAsIs) {
  // A file whose header holds 0.0 carries its content unchanged; trailing
  // bytes beyond the stated length are not part of it.
  std::string back;
  ASSERT_EQ(UnpackContent(Header(0.0, 5.0) + "hello", &back), UnpackStatus::kOk);
  EXPECT_EQ(back, "hello");
  ASSERT_EQ(UnpackContent(Header(0.0, 0.0), &back), UnpackStatus::kOk);
  EXPECT_EQ(back, "");
  ASSERT_EQ(UnpackContent(Header(0.0, 2.0) + "hello", &back), UnpackStatus::kOk);
  EXPECT_EQ(back, "he");
}

TEST(PackedFile, UntrustworthyHeadersFailClearly) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::string back;
  EXPECT_EQ(UnpackContent("", &back), UnpackStatus::kShortHeader);
  EXPECT_EQ(UnpackContent(Header(0, 1).substr(0, 15), &back), UnpackStatus::kShortHeader);
  for (auto [p, u] : {std::pair{-1.0, 5.0}, {0.0, -5.0}, {nan, 5.0}, {0.0, inf}, {0.0, 0.5},
                      {0.0, 3e9}, {1e300, 5.0}, {-0.0 - 1e-300, 1.0}}) {
    EXPECT_EQ(UnpackContent(Header(p, u) + "hello", &back), UnpackStatus::kBadHeader) << p << " " << u;
  }
  // A huge stated length with a short payload is caught before any work.
  EXPECT_EQ(UnpackContent(Header(0.0, 2147483647.0) + "abc", &back), UnpackStatus::kTruncated);
  EXPECT_EQ(UnpackContent(Header(2000000000.0, 10.0) + "abc", &back), UnpackStatus::kTruncated);
}

TEST(PackedFile, TruncatedAndCorruptLzma) {
  const std::string content = Compressible(200000) + Random(5000, 7);
  const std::string packed = PackContent(content);
  std::string back;
  // Cut short: the header no longer matches the payload.
  EXPECT_EQ(UnpackContent(packed.substr(0, packed.size() - 1), &back), UnpackStatus::kTruncated);

  // The header claims less payload than the stream needs.
  PackedHeader h;
  ASSERT_EQ(ReadPackedHeader(packed, &h), UnpackStatus::kOk);
  std::string shortened = Header(h.packed_length - 100, h.unpacked_length) + packed.substr(16);
  EXPECT_EQ(UnpackContent(shortened, &back), UnpackStatus::kCorrupt);

  // The header claims more content than the stream holds.
  std::string longer = Header(h.packed_length, h.unpacked_length + 1) + packed.substr(16);
  EXPECT_EQ(UnpackContent(longer, &back), UnpackStatus::kCorrupt);
  // ...or less.
  std::string fewer = Header(h.packed_length, h.unpacked_length - 1) + packed.substr(16);
  EXPECT_NE(UnpackContent(fewer, &back), UnpackStatus::kOk);

  // Damaged bytes anywhere in the stream never crash and never pass silently
  // as the original content.
  for (size_t pos = 16 + 5; pos < packed.size(); pos += packed.size() / 37) {
    std::string damaged = packed;
    damaged[pos] = static_cast<char>(damaged[pos] ^ 0x55);
    UnpackStatus s = UnpackContent(damaged, &back);
    if (s == UnpackStatus::kOk) {
      EXPECT_NE(back, content) << pos;
    }
  }
}

TEST(PackedFile, BadLzmaPropertiesAndHugeDictionary) {
  std::string back;
  std::string props_bad = Header(10.0, 4.0) + std::string("\xE1\0\0\x10\0\0\0\0\0\0", 10);
  EXPECT_EQ(UnpackContent(props_bad, &back), UnpackStatus::kBadProperties);
  // 1 GiB dictionary.
  std::string huge_dict = Header(10.0, 4.0) + std::string("\x5D\0\0\0\x40\0\0\0\0\0", 10);
  EXPECT_EQ(UnpackContent(huge_dict, &back), UnpackStatus::kBadProperties);
  // Fewer than five property bytes.
  EXPECT_EQ(UnpackContent(Header(3.0, 4.0) + std::string("\x5D\0\0", 3), &back), UnpackStatus::kBadProperties);
}

// A small packed file that declares far more content than the manifest's
// Size is refused before a byte is unpacked.
TEST(PackedFile, ContentLengthMustBeTheOneExpected) {
  const std::string packed = PackContent(std::string(1 << 20, '\0'));  // about 200 bytes
  ASSERT_LT(packed.size(), 1000u);
  size_t pos = 0;
  auto read = [&](char* buf, size_t cap) -> int64_t {
    const size_t n = std::min(cap, packed.size() - pos);
    std::memcpy(buf, packed.data() + pos, n);
    pos += n;
    return static_cast<int64_t>(n);
  };
  size_t unpacked = 0;
  auto sink = [&](std::string_view piece) {
    unpacked += piece.size();
    return true;
  };
  EXPECT_EQ(UnpackStream(read, packed.size(), sink, 30000), UnpackStatus::kOtherLength);
  EXPECT_EQ(unpacked, 0u);
  pos = 0;
  EXPECT_EQ(UnpackStream(read, packed.size(), sink, 1 << 20), UnpackStatus::kOk);
  EXPECT_EQ(unpacked, 1u << 20);
}

TEST(PackedFile, SinkSeesPiecesAndCanStop) {
  const std::string content = Compressible(200000);
  const std::string packed = PackContent(content);
  size_t pieces = 0, total = 0;
  ASSERT_EQ(UnpackContent(packed,
                          [&](std::string_view piece) {
                            ++pieces;
                            total += piece.size();
                            EXPECT_LE(piece.size(), 65536u);
                            return true;
                          }),
            UnpackStatus::kOk);
  EXPECT_GE(pieces, 4u);
  EXPECT_EQ(total, content.size());
  EXPECT_EQ(UnpackContent(packed, [](std::string_view) { return false; }),
            UnpackStatus::kSinkFailed);
}

}  // namespace
}  // namespace quasto
