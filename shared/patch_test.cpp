#include "shared/patch.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "shared/content_hash.h"
#include "shared/limits.h"
#include "shared/packed_file.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;

std::string Random(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() % 251);
  return s;
}

// Something shaped like a program: code with 32-bit offsets every few bytes,
// text, and zero padding.
std::string ProgramLike(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s;
  static const char* kWords[] = {"Update", "Quastorell", "file", "error", "main", "init"};
  while (s.size() < n) {
    switch (gen() % 4) {
      case 0: {  // a call with a 32-bit displacement
        uint32_t target = gen() % 0x100000;
        s += '\xE8';
        for (int i = 0; i < 4; ++i) s += static_cast<char>(target >> (8 * i));
        break;
      }
      case 1: s += kWords[gen() % 6]; break;
      case 2: s.append(gen() % 16, '\0'); break;
      default: s += static_cast<char>(gen()); break;
    }
  }
  s.resize(n);
  return s;
}

// The next release of a program: bytes inserted, removed and changed, and
// every displacement behind the insertion moved by its length.
std::string NextRelease(const std::string& base, unsigned seed) {
  std::mt19937 gen(seed);
  std::string r = base;
  for (size_t i = 0; i + 5 < r.size(); ++i) {
    if (r[i] == '\xE8' && i > r.size() / 2) {
      uint32_t v = 0;
      for (int k = 0; k < 4; ++k) v |= static_cast<uint32_t>(static_cast<uint8_t>(r[i + 1 + k])) << (8 * k);
      v += 300;
      for (int k = 0; k < 4; ++k) r[i + 1 + k] = static_cast<char>(v >> (8 * k));
      i += 4;
    }
  }
  r.insert(r.size() / 2, Random(300, seed + 1));
  r.erase(r.size() / 4, 1000);
  for (int i = 0; i < 50; ++i) r[gen() % r.size()] ^= 0x5A;
  return r;
}

PatchSource Source(const std::string& s, uint64_t* max_end = nullptr) {
  return [&s, max_end](uint64_t offset, char* buf, size_t cap) -> int64_t {
    if (offset >= s.size()) return 0;
    size_t n = std::min<uint64_t>(cap, s.size() - offset);
    if (max_end) *max_end = std::max<uint64_t>(*max_end, offset + n);
    std::memcpy(buf, s.data() + offset, n);
    return static_cast<int64_t>(n);
  };
}

struct Applied {
  PatchStatus status;
  std::string result;
  uint64_t coder_memory = 0;
  uint64_t base_read_end = 0;  // the furthest base byte asked for
};

Applied Apply(const std::string& base, const std::string& patch, int64_t expected = -1) {
  Applied a;
  a.status = ApplyPatch(
      Source(base, &a.base_read_end), base.size(), Source(patch), patch.size(),
      [&a](std::string_view piece) {
        EXPECT_LE(piece.size(), 64u << 10);
        a.result.append(piece);
        return true;
      },
      expected, &a.coder_memory);
  return a;
}

std::string Make(const std::string& base, const std::string& result) {
  std::string patch;
  EXPECT_TRUE(MakePatch(base, result, &patch));
  return patch;
}

TEST(Patch, RoundTripsWhateverTheContents) {
  const std::string program = ProgramLike(300000, 1);
  const struct {
    const char* what;
    std::string base, result;
  } cases[] = {
      {"empty to empty", "", ""},
      {"empty base", "", Random(5000, 2)},
      {"empty result", Random(5000, 3), ""},
      {"identical", program, program},
      {"unrelated", Random(70000, 4), Random(90000, 5)},
      {"next release", program, NextRelease(program, 6)},
      {"back to the older one", NextRelease(program, 6), program},
      {"one byte", "a", "b"},
      {"longer than a piece of the applier", Random(200000, 7), Random(10, 8) + Random(200000, 7)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string patch = Make(c.base, c.result);
    Applied a = Apply(c.base, patch, static_cast<int64_t>(c.result.size()));
    ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
    EXPECT_TRUE(a.result == c.result);
    EXPECT_LE(a.base_read_end, c.base.size());
    // The same inputs give the same bytes: the builder verifies what it keeps.
    EXPECT_EQ(Make(c.base, c.result), patch);

    PatchHeader h;
    ASSERT_EQ(ReadPatchHeader(patch, patch.size(), &h), PatchStatus::kOk);
    EXPECT_EQ(h.base_length, c.base.size());
    EXPECT_EQ(h.result_length, c.result.size());
    EXPECT_EQ(h.base_sha256, Sha256Hex(c.base));
    EXPECT_EQ(h.result_sha256, Sha256Hex(c.result));
  }
}

TEST(Patch, IsFarSmallerThanThePackedFileForANextRelease) {
  const std::string base = ProgramLike(1 << 20, 11);
  const std::string result = NextRelease(base, 12);
  std::string patch = Make(base, result);
  EXPECT_LT(patch.size() * 10, PackContent(result).size()) << patch.size();
  // Unrelated content costs little more than packing it.
  const std::string other = Random(100000, 13);
  EXPECT_LT(Make(base, other).size(), PackContent(other).size() + 1024);
}

// Pieces of the base, long enough that the matcher takes each, in another
// order; the last piece is the base's own end.
std::string Shuffled(const std::string& base, unsigned seed) {
  std::mt19937 gen(seed);
  std::string r;
  while (r.size() < base.size()) {
    const size_t len = 200 + gen() % 300;
    r += base.substr(gen() % (base.size() - len), len);
  }
  return r + base.substr(base.size() - 150);
}

TEST(Patch, FindsTheBaseBytesWhateverTheirFirstBytesShare) {
  // Two letters: every suffix shares its first six bytes with thousands of
  // others, so the search decides on the bytes beyond them. Equal bytes:
  // every suffix starts alike and differs only in where the base ends.
  // Mostly zeros: one crowded start among sparse others.
  std::string two_letters = Random(200000, 61), zeros(200000, '\0');
  for (char& c : two_letters) c = 'a' + (c & 1);
  std::string sparse = zeros;
  for (size_t i = 0; i < sparse.size(); i += 1 + i % 97) sparse[i] = static_cast<char>(i % 7);
  const struct {
    const char* what;
    std::string base;
  } cases[] = {
      {"two letters", two_letters},
      {"mostly zeros", sparse},
      {"a program", ProgramLike(200000, 62)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string result = Shuffled(c.base, 63);
    const std::string patch = Make(c.base, result);
    PatchHeader h;
    ASSERT_EQ(ReadPatchHeader(patch, patch.size(), &h), PatchStatus::kOk);
    // Missed matches would come out as new bytes.
    EXPECT_LT(h.streams[2].raw_length, result.size() / 100);
    Applied a = Apply(c.base, patch);
    ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
    EXPECT_TRUE(a.result == result);
  }
}

TEST(Patch, FindsTheBaseBytesInABaseTooLargeForKeys) {
  // Above 16 MiB the index keeps no keys and every step reads the base.
  std::string base = Random((16 << 20) + 4096, 64);
  const std::string result = Shuffled(base.substr(base.size() - (1 << 20)), 65);
  const std::string patch = Make(base, result);
  PatchHeader h;
  ASSERT_EQ(ReadPatchHeader(patch, patch.size(), &h), PatchStatus::kOk);
  EXPECT_LT(h.streams[2].raw_length, result.size() / 100);
  Applied a = Apply(base, patch);
  ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
  EXPECT_TRUE(a.result == result);
}

TEST(Patch, BasesShorterThanASearchKeyRoundTrip) {
  // The search's keys look six bytes into each suffix and its buckets three:
  // bases and results shorter than that, and results that run past the
  // base's end, with zero bytes that must not pass for the base's end.
  const std::string bases[] = {"", "a", "ab", "\0\0", "abc", "ab\0", "abcde", "abcdef",
                               std::string("\0\0\0\0\0\0\0", 7)};
  const std::string results[] = {"", "a", "b", "ab", "abc", std::string("ab\0\0", 4), "abcdefg",
                                 std::string(20, '\0'), "abababababababababababcdef"};
  for (const std::string& base : bases) {
    for (const std::string& result : results) {
      SCOPED_TRACE(::testing::PrintToString(base) + " -> " + ::testing::PrintToString(result));
      Applied a = Apply(base, Make(base, result), static_cast<int64_t>(result.size()));
      ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
      EXPECT_TRUE(a.result == result);
    }
  }
}

TEST(Patch, LongRunsOfEqualBytesStayFast) {
  // A naive matcher compares each run at every position: hours for this.
  std::string base(6 << 20, '\0');
  std::string result(base, 0, 3 << 20);
  result += 'x';
  result.append(base, 3 << 20);
  base[1 << 20] = 'y';
  testing::EndsWithin(60, "making a patch between zero-filled files", [&] {
    std::string patch = Make(base, result);
    EXPECT_LT(patch.size(), 4096u);
    EXPECT_EQ(Apply(base, patch).status, PatchStatus::kOk);
  });
}

// A patch made by hand, every stream stored, so that tests say exactly what
// the control stream asks for.
std::string Varint(uint64_t v) {
  std::string s;
  do {
    uint8_t b = v & 0x7F;
    v >>= 7;
    if (v) b |= 0x80;
    s += static_cast<char>(b);
  } while (v);
  return s;
}
std::string Triple(int64_t seek, uint64_t add, uint64_t copy) {
  uint64_t zz = seek < 0 ? ((static_cast<uint64_t>(-(seek + 1)) << 1) | 1) : static_cast<uint64_t>(seek) << 1;
  return Varint(zz) + Varint(add) + Varint(copy);
}
void Le(std::string* s, size_t at, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) (*s)[at + i] = static_cast<char>(v >> (8 * i));
}
std::string Bin(const std::string& hex) {
  std::string b;
  for (size_t i = 0; i < hex.size(); i += 2) b += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return b;
}
std::string Crafted(const std::string& base, const std::string& result, const std::string& ctrl,
                    const std::string& diff, const std::string& extra) {
  std::string h(kPatchHeaderSizeV1, '\0');
  h.replace(0, 8, "QSTPATCH");
  Le(&h, 8, 1, 4);
  Le(&h, 16, base.size(), 8);
  Le(&h, 24, diff.size() + extra.size(), 8);
  h.replace(32, 32, Bin(Sha256Hex(base)));
  h.replace(64, 32, Bin(Sha256Hex(result)));
  const std::string* streams[] = {&ctrl, &diff, &extra};
  for (int i = 0; i < 3; ++i) {
    Le(&h, 96 + 24 * i + 8, streams[i]->size(), 8);
    Le(&h, 96 + 24 * i + 16, streams[i]->size(), 8);
  }
  return h + ctrl + diff + extra;
}

// The same in the current layout: the differences as the lengths of zero
// runs and of the non-zero bytes after each, those bytes in the difference
// stream, the lengths in their own stream or (inline) before their bytes.
std::string CraftedV2(const std::string& base, const std::string& result, const std::string& ctrl,
                      const std::string& bytes, const std::string& extra, const std::string& runs,
                      bool inline_runs = false) {
  std::string h(kPatchHeaderSize, '\0');
  h.replace(0, 8, "QSTPATCH");
  Le(&h, 8, 2, 4);
  Le(&h, 12, inline_runs ? 1 : 0, 4);
  Le(&h, 16, base.size(), 8);
  Le(&h, 24, result.size(), 8);
  h.replace(32, 32, Bin(Sha256Hex(base)));
  h.replace(64, 32, Bin(Sha256Hex(result)));
  const std::string* streams[] = {&ctrl, &bytes, &extra, &runs};
  for (int i = 0; i < 4; ++i) {
    Le(&h, 96 + 24 * i + 8, streams[i]->size(), 8);
    Le(&h, 96 + 24 * i + 16, streams[i]->size(), 8);
  }
  return h + ctrl + bytes + extra + runs;
}
std::string Runs(std::initializer_list<uint64_t> lengths) {
  std::string s;
  for (uint64_t v : lengths) {
    if (v < 255) {
      s += static_cast<char>(v);
    } else {
      s += '\xFF';
      s += Varint(v - 255);
    }
  }
  return s;
}

TEST(Patch, TheControlStreamNeverLeadsOutsideItsBounds) {
  const std::string base = "0123456789";
  // Two bytes from base offset 8, then "!" as a new byte: "89!".
  std::string good = Crafted(base, "89!", Triple(8, 2, 1), std::string(2, '\0'), "!");
  Applied a = Apply(base, good);
  ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
  EXPECT_EQ(a.result, "89!");
  // Back and forth through the base: each add reads where it says.
  std::string jumps = Crafted(base, "560129", Triple(5, 2, 0) + Triple(-7, 3, 0) + Triple(6, 1, 0),
                              std::string(6, '\0'), "");
  a = Apply(base, jumps);
  ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
  EXPECT_EQ(a.result, "560129");

  const struct {
    const char* what;
    std::string ctrl, diff, extra;
  } hostile[] = {
      {"seek before the base", Triple(-1, 1, 0), "\0", ""},
      {"seek past the base", Triple(11, 0, 1), "", "x"},
      {"add past the base's end", Triple(8, 3, 0), std::string(3, '\0'), ""},
      {"add past the result", Triple(0, 5, 0) + Triple(0, 5, 0), std::string(3, '\0'), ""},
      {"copy past the result", Triple(0, 0, 4), "", "abc"},
      {"a triple that makes no progress", Triple(1, 0, 0) + Triple(0, 1, 0), "\0", ""},
      {"the control stream ends early", Triple(0, 1, 0), std::string(2, '\0'), ""},
      {"control bytes left over", Triple(0, 1, 0) + Triple(0, 1, 0), "\0", ""},
      {"a varint without end", std::string(12, '\x80'), "\0", ""},
  };
  for (const auto& h : hostile) {
    SCOPED_TRACE(h.what);
    std::string patch = Crafted(base, "xyz", h.ctrl, h.diff, h.extra);
    Applied r = Apply(base, patch);
    EXPECT_EQ(r.status, PatchStatus::kCorrupt) << PatchStatusText(r.status);
    EXPECT_LE(r.result.size(), h.diff.size() + h.extra.size());
    EXPECT_LE(r.base_read_end, base.size());
  }
}

// The applier keeps chunks of the base in slots by their place: adds that
// alternate between places sharing a slot, cross a chunk's end, or end on
// the base's last partial chunk read what they name every time.
TEST(Patch, AddsReadTheirBaseBytesWhereverTheyJump) {
  const std::string base = Random((4u << 20) + 5000, 9);
  const uint64_t far = 4u << 20;  // a chunk count of the cache away from 0
  std::string ctrl, result;
  uint64_t pos = 0;
  auto add = [&](uint64_t at, uint64_t n) {
    ctrl += Triple(static_cast<int64_t>(at) - static_cast<int64_t>(pos), n, 0);
    result += base.substr(at, n);
    pos = at + n;
  };
  for (int i = 0; i < 3; ++i) {
    add(100, 50);
    add(far + 100, 50);
  }
  add(4096 - 10, 20);             // across a chunk's end
  add(far - 3, 10);               // across the place where slots wrap
  add(base.size() - 30, 30);      // the base's last bytes
  add(0, 70000);                  // longer than a piece of the result
  const std::string patch =
      Crafted(base, result, ctrl, std::string(result.size(), '\0'), "");
  const Applied a = Apply(base, patch);
  ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
  EXPECT_TRUE(a.result == result);
  EXPECT_LE(a.base_read_end, base.size());
}

TEST(Patch, RefusesHeadersBeforeWritingAnything) {
  const std::string base = ProgramLike(20000, 21), result = NextRelease(base, 22);
  const std::string patch = Make(base, result);
  auto refused = [&](std::string p, PatchStatus want, const std::string& b, int64_t expected = -1) {
    Applied a = Apply(b, p, expected);
    EXPECT_EQ(a.status, want) << PatchStatusText(a.status);
    EXPECT_TRUE(a.result.empty());
  };
  refused(patch.substr(0, 100), PatchStatus::kShortHeader, base);
  std::string p = patch;
  p[0] = 'x';  // not "x" + patch.substr(1): g++ 12 warns falsely (-Wrestrict) about that here
  refused(p, PatchStatus::kBadHeader, base);
  p = patch;
  Le(&p, 8, 3, 4);  // a later version
  refused(p, PatchStatus::kBadHeader, base);
  p = patch;
  p[96 + 24] = 9;  // unknown coder
  refused(p, PatchStatus::kBadHeader, base);
  refused(patch + "x", PatchStatus::kBadHeader, base);  // streams do not fill the patch
  refused(patch, PatchStatus::kOtherBase, base + "x");
  refused(patch, PatchStatus::kOtherLength, base, static_cast<int64_t>(result.size()) - 1);
  refused(patch.substr(0, kPatchHeaderSizeV1 + 1), PatchStatus::kShortHeader, base);
  p = patch;
  Le(&p, 12, 2, 4);  // an unknown flag
  refused(p, PatchStatus::kBadHeader, base);

  // The first version's data streams add up to the result.
  std::string v1 = Crafted("ab", "ab", Triple(0, 2, 0), std::string(2, '\0'), "");
  ASSERT_EQ(Apply("ab", v1).status, PatchStatus::kOk);
  p = v1;
  Le(&p, 24, 3, 8);
  refused(p, PatchStatus::kBadHeader, "ab");
  p = v1;
  Le(&p, 12, 1, 4);  // runs inline: not a flag of the first version
  refused(p, PatchStatus::kBadHeader, "ab");

  // The current version: streams that cannot fit the result or each other.
  const std::string b = "0123456789";
  ASSERT_EQ(Apply(b, CraftedV2(b, "01x", Triple(0, 2, 1), "", "x", Runs({2, 0}))).status,
            PatchStatus::kOk);
  refused(CraftedV2(b, "xy", Triple(0, 0, 2), "", "xyz", ""), PatchStatus::kBadHeader, b);
  refused(CraftedV2(b, "12", Triple(0, 2, 0), "\x01\x01", "", ""), PatchStatus::kBadHeader, b);
  refused(CraftedV2(b, "12", Triple(0, 2, 0), "\x01\x01", "", Runs({0, 2}), true),
          PatchStatus::kBadHeader, b);
  // Four lengths of 2^62 wrap a 64-bit sum to 0: a header alone must not
  // pass for streams that fill the patch.
  std::string wrap = CraftedV2("", "", "", "", "", "");
  for (int i = 0; i < 4; ++i) {
    wrap[96 + 24 * i] = 2;  // bzip2: the packed length is free
    Le(&wrap, 96 + 24 * i + 8, uint64_t{1} << 62, 8);
    Le(&wrap, 96 + 24 * i + 16, 0, 8);
  }
  refused(wrap, PatchStatus::kBadHeader, "");
}

TEST(Patch, DifferencesTravelAsZeroRunsAndTheBytesBetween) {
  // 1000 bytes of the base with three changed, then three new bytes; one
  // zero run long enough to need more than a byte for its length.
  const std::string base = Random(1000, 81);
  std::string diff(1000, '\0');
  diff[2] = 1;
  diff[303] = 2;
  diff[304] = 3;
  std::string result = base;
  for (size_t i = 0; i < diff.size(); ++i) result[i] = static_cast<char>(base[i] + diff[i]);
  result += "xyz";
  const std::string ctrl = Triple(0, 1000, 3), bytes = "\x01\x02\x03";
  const std::string runs = Runs({2, 1, 300, 2, 695, 0});
  const std::string together =
      Runs({2, 1}) + "\x01" + Runs({300, 2}) + "\x02\x03" + Runs({695, 0});
  for (const std::string& patch : {CraftedV2(base, result, ctrl, bytes, "xyz", runs),
                                   CraftedV2(base, result, ctrl, together, "xyz", "", true)}) {
    Applied a = Apply(base, patch);
    ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
    EXPECT_TRUE(a.result == result);
  }

  const struct {
    const char* what;
    std::string bytes, runs;
  } hostile[] = {
      {"a pair of empty runs", bytes, Runs({0, 0, 2, 1, 300, 2, 695, 0})},
      {"runs beyond the adds", bytes, Runs({2, 1, 300, 2, 696, 0})},
      {"runs that end before the adds", bytes, Runs({2, 1, 300, 2})},
      {"fewer non-zero bytes than the runs name", "\x01\x02", runs},
      {"non-zero bytes left over", "\x01\x02\x03\x04", runs},
      {"a length without end", bytes, Runs({2, 1}) + "\xFF" + std::string(12, '\x80')},
      {"a length beyond any result", bytes, Runs({2, 1}) + "\xFF" + Varint(uint64_t{1} << 62)},
  };
  for (const auto& h : hostile) {
    SCOPED_TRACE(h.what);
    Applied a = Apply(base, CraftedV2(base, result, ctrl, h.bytes, "xyz", h.runs));
    EXPECT_EQ(a.status, PatchStatus::kCorrupt) << PatchStatusText(a.status);
    EXPECT_LE(a.result.size(), result.size());
    EXPECT_LE(a.base_read_end, base.size());
  }
}

TEST(Patch, KeepsWhicheverLayoutOfTheDifferencesIsSmaller) {
  // Changes scattered over the program: the runs' lengths repeat among
  // themselves, the changed bytes among themselves. The same changes
  // recurring all along: the runs with their bytes repeat as a whole.
  const std::string program = ProgramLike(300000, 91);
  const std::string base = Random(300000, 92);
  std::string recurring = base, changes(997, '\0');
  std::mt19937 gen(93);
  for (int k = 0; k < 40; ++k) changes[gen() % changes.size()] = static_cast<char>(1 + gen() % 200);
  for (size_t i = 0; i < recurring.size(); ++i) {
    recurring[i] = static_cast<char>(recurring[i] + changes[i % changes.size()]);
  }
  const struct {
    const char* what;
    std::string base, result;
    bool inline_runs;
  } cases[] = {
      {"scattered", program, NextRelease(program, 94), false},
      {"recurring", base, recurring, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string patch = Make(c.base, c.result);
    PatchHeader h;
    ASSERT_EQ(ReadPatchHeader(patch, patch.size(), &h), PatchStatus::kOk);
    EXPECT_EQ(h.inline_runs, c.inline_runs);
    EXPECT_EQ(h.streams[3].raw_length == 0, c.inline_runs);
    Applied a = Apply(c.base, patch);
    ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
    EXPECT_TRUE(a.result == c.result);
  }
}

TEST(Patch, DamageNeverYieldsOtherContent) {
  const std::string base = ProgramLike(60000, 31), result = NextRelease(base, 32);
  const std::string patch = Make(base, result);
  std::mt19937 gen(33);
  for (int round = 0; round < 300; ++round) {
    std::string p = patch;
    if (round % 3 == 0) {
      p.resize(kPatchHeaderSize + gen() % (p.size() - kPatchHeaderSize));
    } else {
      p[kPatchHeaderSize + gen() % (p.size() - kPatchHeaderSize)] ^= static_cast<char>(1 + gen() % 255);
    }
    Applied a = Apply(base, p);
    EXPECT_LE(a.result.size(), result.size());
    EXPECT_LE(a.base_read_end, base.size());
    if (a.status == PatchStatus::kOk) {
      EXPECT_TRUE(a.result == result);
    }
  }
  // A patch for other content under the same lengths: the hash catches it.
  std::string wrong = Crafted("ab", "ab", Triple(0, 2, 0), std::string("\0\x01", 2), "");
  EXPECT_EQ(Apply("ab", wrong).status, PatchStatus::kOtherResult);
}

TEST(Patch, AFailingBaseOrReceiverIsNeverASuccess) {
  const std::string base = ProgramLike(200000, 61), result = NextRelease(base, 62);
  const std::string patch = Make(base, result);
  std::string got;
  auto sink = [&got](std::string_view piece) {
    got.append(piece);
    return true;
  };
  // The base shrank after it was measured: it ends early.
  const std::string shorter = base.substr(0, base.size() / 2);
  EXPECT_EQ(ApplyPatch(Source(shorter), base.size(), Source(patch), patch.size(), sink),
            PatchStatus::kReadFailed);
  auto failing = [](uint64_t, char*, size_t) -> int64_t { return -1; };
  EXPECT_EQ(ApplyPatch(failing, base.size(), Source(patch), patch.size(), sink),
            PatchStatus::kReadFailed);
  EXPECT_EQ(ApplyPatch(Source(base), base.size(), failing, patch.size(), sink),
            PatchStatus::kReadFailed);
  // A receiver that cannot take more (a full disk) stops the applier there.
  int pieces = 0;
  EXPECT_EQ(ApplyPatch(Source(base), base.size(), Source(patch), patch.size(),
                       [&pieces](std::string_view) { return ++pieces < 2; }),
            PatchStatus::kSinkFailed);
  EXPECT_EQ(pieces, 2);
}

std::string LzmaRaw(const std::string& raw, uint32_t dict) {
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, 0);
  opt.dict_size = dict;
  lzma_filter f[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  std::string out(raw.size() + 4096, '\0');
  size_t pos = 0;
  EXPECT_EQ(lzma_raw_buffer_encode(f, nullptr, reinterpret_cast<const uint8_t*>(raw.data()), raw.size(),
                                   reinterpret_cast<uint8_t*>(out.data()), &pos, out.size()),
            LZMA_OK);
  out.resize(pos);
  return out;
}

TEST(Patch, MemoryStaysBoundedWithTheLargestDictionaries) {
  const std::string base = Random(4000, 41);
  const std::string extra = Random(3000, 42), diff(4000, '\0');
  const std::string ctrl = Triple(0, 4000, 3000);
  std::string streams[] = {LzmaRaw(ctrl, kMaxPatchDictionary), LzmaRaw(diff, kMaxPatchDictionary),
                           LzmaRaw(extra, kMaxPatchDictionary)};
  std::string p = Crafted(base, base + extra, streams[0], streams[1], streams[2]);
  const std::string* raws[] = {&ctrl, &diff, &extra};
  for (int i = 0; i < 3; ++i) {
    p[96 + 24 * i] = 1;
    p[96 + 24 * i + 1] = 3 + 0 * 9 + 2 * 45;  // lc 3, lp 0, pb 2
    Le(&p, 96 + 24 * i + 4, kMaxPatchDictionary, 4);
    Le(&p, 96 + 24 * i + 16, raws[i]->size(), 8);
  }
  Le(&p, 24, 7000, 8);
  Applied a = Apply(base, p);
  ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
  EXPECT_TRUE(a.result == base + extra);
  EXPECT_GE(a.coder_memory, 3 * uint64_t{kMaxPatchDictionary});
  EXPECT_LE(a.coder_memory, kMaxPatchApplyMemory);
  // A dictionary beyond the bound would break that promise: refused before
  // anything is written.
  for (int i = 0; i < 3; ++i) {
    std::string q = p;
    Le(&q, 96 + 24 * i + 4, kMaxPatchDictionary * 2, 4);
    Applied r = Apply(base, q);
    EXPECT_EQ(r.status, PatchStatus::kBadHeader);
    EXPECT_TRUE(r.result.empty());
  }

  // Four streams share three of the largest dictionaries: 8 + 4 + 8 + 4 MiB.
  const std::string runs = Runs({4000, 0}), none;
  const std::string* raws2[] = {&ctrl, &none, &extra, &runs};
  const uint32_t dicts[] = {kMaxPatchDictionary, kMaxPatchDictionary / 2, kMaxPatchDictionary,
                            kMaxPatchDictionary / 2};
  std::string packed2[4];
  for (int i = 0; i < 4; ++i) packed2[i] = LzmaRaw(*raws2[i], dicts[i]);
  std::string v2 = CraftedV2(base, base + extra, packed2[0], packed2[1], packed2[2], packed2[3]);
  for (int i = 0; i < 4; ++i) {
    v2[96 + 24 * i] = 1;
    v2[96 + 24 * i + 1] = 3 + 0 * 9 + 2 * 45;
    Le(&v2, 96 + 24 * i + 4, dicts[i], 4);
    Le(&v2, 96 + 24 * i + 16, raws2[i]->size(), 8);
  }
  a = Apply(base, v2);
  ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
  EXPECT_TRUE(a.result == base + extra);
  EXPECT_LE(a.coder_memory, kMaxPatchApplyMemory);
  // One more dictionary's worth, or a bzip2 decoder beside three of the
  // largest, would pass the bound.
  std::string q = v2;
  Le(&q, 96 + 24 * 3 + 4, kMaxPatchDictionary, 4);
  Applied r = Apply(base, q);
  EXPECT_EQ(r.status, PatchStatus::kBadHeader);
  EXPECT_TRUE(r.result.empty());
  q = v2;
  Le(&q, 96 + 24 + 4, kMaxPatchDictionary, 4);
  q[96 + 24 * 3] = 2;
  q[96 + 24 * 3 + 1] = 0;
  Le(&q, 96 + 24 * 3 + 4, 0, 4);
  r = Apply(base, q);
  EXPECT_EQ(r.status, PatchStatus::kBadHeader);
  EXPECT_TRUE(r.result.empty());
}

TEST(Patch, AppliesPatchesOfTheFirstVersion) {
  // Made by the encoder of the first version (zero runs kept in the
  // difference stream, three streams) between these two contents; such
  // patches stay on servers.
  const std::string base = ProgramLike(4000, 71), result = NextRelease(base, 72);
  const std::string patch = Bin(
      "51535450415443480100000000000000a00f000000000000e40c000000000000"
      "804d72eb0f5cbf853f3af885ec250341ab4a8d091baa7946977c04918f0d8215"
      "5f011d94d3f76e954d2e2f018daf633e7eb78232990cd7f4fc75992ed873f8de"
      "00000000000000000a000000000000000a000000000000000101000000100000"
      "1101000000000000030c0000000000000000000000000000e100000000000000"
      "e10000000000000000b308e101ba0ed00f0000006f1c08e720b0137594bfd00f"
      "374f9c687f1cc531e101908a21d5dcdcf4aee45f18fa2bd04332c34fc22b90c1"
      "bc9341f20164f81c2ddcae21b53aba0a68ee7a61b3fdc0a9e1584a3fce0e6e6a"
      "fb286a2ce883215957271e1b87f6bd28d9dd036f4e2738548d4f51494843d117"
      "c6904720fc351ea40e51717972d5b79ab0a458734c106f497ff68460d23ec77e"
      "0ae8d551f03dd44a4673b32ca24ec4f1afd8c1bae2699721cc293fc2eeb36f97"
      "db09aaf73c08af440a26e4a3b55117dc15589103f45001d60e6460885c3efd95"
      "f1c24fca5d11b037705e99e3b580dbf5a3aa1802a2e6881f4cc5241f41bc7645"
      "bf1d8ddc89771d00058e89f29821f2e09e72507d9f20a24d5da5593eb1b5fffe"
      "1080d606b1c4f50c1b1d4087b3b38e11e69642d08ac262f0ad5ca55529cb48ce"
      "e038c6053c20314d8cf6bdc1a3700424a2c41c6294486283bd87835c22aed253"
      "be8bf9b02217a1d01fe91e1e1fc5531700e729d007fc7e0cbdf01484f1f824fa"
      "49a43b05e79f3b22d56d9c9a4f5ddab933c699c4c2577c2f21a14c63755c4552"
      "f37a264da2600c25191746cb8a73f9d216c3caa077aca54b167690d64644e9c1"
      "62374321708c263f5b4f1dc7f002c6c603137703bc0379a62e94dd9b0d963415"
      "c329874aea7487cdbae947a5e46612164182e983a669facb72417e2f4153d874"
      "33dc5fd1");
  PatchHeader h;
  ASSERT_EQ(ReadPatchHeader(patch, patch.size(), &h), PatchStatus::kOk);
  EXPECT_EQ(h.version, 1u);
  EXPECT_EQ(h.streams[3].raw_length, 0u);
  Applied a = Apply(base, patch, static_cast<int64_t>(result.size()));
  ASSERT_EQ(a.status, PatchStatus::kOk) << PatchStatusText(a.status);
  EXPECT_TRUE(a.result == result);
  const std::string now = Make(base, result);
  ASSERT_EQ(ReadPatchHeader(now, now.size(), &h), PatchStatus::kOk);
  EXPECT_EQ(h.version, 2u);
}

TEST(Patch, AppliesBetweenFiles) {
  TempDir dir;
  const std::string base = ProgramLike(150000, 51), result = NextRelease(base, 52);
  dir.Write("base.bin", base);
  dir.Write("p.bin", Make(base, result));
  EXPECT_EQ(ApplyPatchFile(dir / "base.bin", dir / "p.bin", dir / "out.bin", result.size()),
            PatchStatus::kOk);
  EXPECT_TRUE(dir.Read("out.bin") == result);
  EXPECT_EQ(ApplyPatchFile(dir / "missing", dir / "p.bin", dir / "out2.bin"),
            PatchStatus::kReadFailed);
  EXPECT_EQ(ApplyPatchFile(dir / "base.bin", dir / "p.bin", dir / "no/such/out.bin"),
            PatchStatus::kSinkFailed);
  dir.Write("base.bin", base.substr(1));
  EXPECT_EQ(ApplyPatchFile(dir / "base.bin", dir / "p.bin", dir / "out.bin"),
            PatchStatus::kOtherBase);
}

}  // namespace
}  // namespace quasto
