#include "shared/patch.h"

#include <bzlib.h>
#include <divsufsort.h>
#include <lzma.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "shared/content_hash.h"
#include "shared/file_stream.h"
#include "shared/limits.h"

namespace quasto {
namespace {

constexpr char kMagic[8] = {'Q', 'S', 'T', 'P', 'A', 'T', 'C', 'H'};
// Version 1 keeps the differences as they are, zero runs and all; version 2
// keeps the runs' lengths apart from the bytes between them, and adds a
// fourth stream for them.
constexpr uint32_t kVersion1 = 1;
constexpr uint32_t kVersion = 2;
// Flags of version 2: the runs precede their bytes in the difference stream.
constexpr uint32_t kFlagInlineRuns = 1;
constexpr size_t kStreamInfoSize = 24;
constexpr size_t kStreamInfoOffset = 96;
static_assert(kStreamInfoOffset + 3 * kStreamInfoSize == kPatchHeaderSizeV1);
static_assert(kStreamInfoOffset + kPatchStreams * kStreamInfoSize == kPatchHeaderSize);
constexpr size_t kPiece = 64 << 10;
// The base is read in aligned chunks, each kept in the slot its place in
// the base maps to: adds are many and short, and they jump back and forth
// over the base, mostly to places they read before.
constexpr size_t kBaseChunk = 4 << 10;
constexpr size_t kBaseChunks = 1024;
// Values in the control stream never exceed this; anything larger is damage.
constexpr uint64_t kMaxControlValue = uint64_t{1} << 62;
// A run's length below this is one byte; from it on, this byte and the rest
// as LEB128.
constexpr uint8_t kRunEscape = 255;
// What a bzip2 stream's decoder holds at most, counted with the LZMA
// streams' dictionaries.
constexpr uint64_t kBzip2DecoderMemory = 4 << 20;

enum Stream { kControl = 0, kDiff = 1, kExtra = 2, kRuns = 3 };

size_t HeaderSize(uint32_t version) {
  return version == kVersion1 ? kPatchHeaderSizeV1 : kPatchHeaderSize;
}
int StreamCount(uint32_t version) { return version == kVersion1 ? 3 : kPatchStreams; }

void PutLe(uint64_t v, int bytes, char* out) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint64_t GetLe(const char* in, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(in[i])) << (8 * i);
  return v;
}

bool HexToBin(const std::string& hex, char out[32]) {
  if (!IsSha256Hex(hex)) return false;
  for (size_t i = 0; i < 32; ++i) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    out[i] = static_cast<char>(nibble(hex[2 * i]) * 16 + nibble(hex[2 * i + 1]));
  }
  return true;
}

std::string BinToHex(const char* bin) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (int i = 0; i < 32; ++i) {
    uint8_t b = static_cast<uint8_t>(bin[i]);
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

bool ValidLzmaProps(uint8_t props) {
  unsigned lc = props % 9, lp = (props / 9) % 5, pb = props / 45;
  return props < 9 * 5 * 5 && lc + lp <= 4 && pb <= 4;
}

// ---- Encoder ---------------------------------------------------------------

// The bytes two strings have in common from their starts, up to kPatchMatchCap.
int64_t MatchLength(const uint8_t* a, int64_t a_size, const uint8_t* b, int64_t b_size) {
  const int64_t n = std::min({a_size, b_size, kPatchMatchCap});
  int64_t i = 0;
  // Eight bytes at a time: matches run to thousands of bytes. The first
  // differing byte is the lowest differing one on a little-endian machine,
  // the highest on a big-endian one.
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) {
      const uint64_t d = x ^ y;
      return i + (std::endian::native == std::endian::little ? std::countr_zero(d)
                                                             : std::countl_zero(d)) / 8;
    }
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The base's suffixes in sorted order, for the longest match of any string
// in the base. Entry 0 is the empty suffix, so that a search has a lower
// bound. A search starts among the suffixes that share the target's first
// bytes. Unless the base is large, each entry keeps, beside the suffix's
// start, the four bytes after its first two (big-endian, so that they
// compare as the bytes do), and most steps are decided on the entry alone,
// without a second, scattered read of the base. Matching spends most of its
// time in these searches.
class SuffixIndex {
 public:
  // False when the base is too large or the suffix sort fails.
  bool Build(const uint8_t* base, int64_t base_size) {
    base_ = base;
    size_ = base_size;
    keyed_ = base_size <= kKeyedBaseMax;
    stride_ = keyed_ ? 2 : 1;
    const size_t entries = static_cast<size_t>(base_size) + 1;
    // With keys, the suffix sort fills the upper half; spreading it to two
    // words an entry from the front never overwrites a start not yet moved,
    // so the index needs no second array of the base's size.
    table_.assign(stride_ * entries, 0);
    saidx_t* sorted = table_.data() + (stride_ - 1) * entries;
    sorted[0] = static_cast<saidx_t>(base_size);
    if (base_size > 0 && divsufsort(base, sorted + 1, static_cast<saidx_t>(base_size)) != 0) {
      return false;
    }
    // One pass over the suffixes in order, reading each one's first bytes
    // (scattered over the base, so fetched ahead) for its key and bucket.
    // Each bucket begins where its first suffix is; an empty one where the
    // next one begins.
    buckets_.assign(kBuckets + 1, 0);
    uint32_t filled = 0;  // the buckets whose beginning is known
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < entries; ++i) {
      if (i + kAhead < entries) __builtin_prefetch(base + sorted[i + kAhead]);
      const int64_t start = sorted[i];
      if (keyed_) {
        table_[2 * i] = static_cast<saidx_t>(start);
        table_[2 * i + 1] = static_cast<saidx_t>(KeyAt(base + start, base_size - start));
      }
      if (i == 0) continue;  // the empty suffix belongs to no bucket
      const uint32_t bucket = BucketOf(base + start, base_size - start);
      while (filled <= bucket) buckets_[filled++] = static_cast<saidx_t>(i);
    }
    while (filled <= kBuckets) buckets_[filled++] = static_cast<saidx_t>(base_size + 1);
    return true;
  }

  // The length of the longest match of `target` (at most kPatchMatchCap),
  // and in *pos where it starts in the base.
  int64_t Search(const uint8_t* target, int64_t target_size, int64_t* pos) const {
    int64_t lo = 0, hi = size_;
    if (target_size >= 2) {
      // Every suffix before the target's bucket sorts before it, every one
      // from the next bucket on after it. Two bytes alone span a range of
      // buckets.
      const uint32_t bucket = BucketOf(target, target_size);
      const uint32_t next = target_size >= 3 ? bucket + 1 : bucket + (1u << kThirdByteBits);
      lo = std::max<int64_t>(0, buckets_[bucket] - 1);
      hi = std::min<int64_t>(size_, buckets_[next]);
      if (hi <= lo) hi = std::min(lo + 1, size_);
    }
    const int64_t limit = std::min(target_size, kPatchMatchCap);
    const uint32_t target_key = KeyAt(target, target_size);
    while (hi - lo >= 2) {
      const int64_t mid = lo + (hi - lo) / 2;
      // The next two steps' entries, whichever way this one goes, are
      // fetched while it is decided: the steps are scattered reads.
      if (hi - lo > kNearby) {
        const int64_t left = lo + (mid - lo) / 2, right = mid + (hi - mid) / 2;
        __builtin_prefetch(&table_[stride_ * left]);
        __builtin_prefetch(&table_[stride_ * right]);
        __builtin_prefetch(&table_[stride_ * (lo + (left - lo) / 2)]);
        __builtin_prefetch(&table_[stride_ * (left + (mid - left) / 2)]);
        __builtin_prefetch(&table_[stride_ * (mid + (right - mid) / 2)]);
        __builtin_prefetch(&table_[stride_ * (right + (hi - right) / 2)]);
      }
      const int64_t start = Start(mid);
      const int64_t suffix = size_ - start;
      // Between the bucket's bounds every suffix shares the target's first
      // two bytes (and more); with six on both sides the key settles most
      // steps.
      if (keyed_ && target_size >= 2 && suffix >= kKeyEnd && limit >= kKeyEnd) {
        const uint32_t key = Key(mid);
        if (key != target_key) {
          if (key < target_key) {
            lo = mid;
          } else {
            hi = mid;
          }
          continue;
        }
      }
      const int64_t n = std::min(suffix, limit);
      const int c = std::memcmp(base_ + start, target, static_cast<size_t>(n));
      // A suffix that is a proper prefix of the target sorts before it;
      // taking it as equal would steer the search towards short matches.
      if (c < 0 || (c == 0 && n == suffix && suffix < limit)) {
        lo = mid;
      } else {
        hi = mid;
      }
    }
    const int64_t x = MatchLength(base_ + Start(lo), size_ - Start(lo), target, target_size);
    const int64_t y = MatchLength(base_ + Start(hi), size_ - Start(hi), target, target_size);
    if (x > y) {
      *pos = Start(lo);
      return x;
    }
    *pos = Start(hi);
    return y;
  }

 private:
  static constexpr int64_t kKeyEnd = 6;  // the key holds bytes 2 to 5
  // The keys double the index, to eight bytes for each of the base's: for
  // larger bases the encoder's memory matters more than its speed (the
  // 32-bit builder holds the base, the index and the result at once).
  static constexpr int64_t kKeyedBaseMax = int64_t{16} << 20;
  // Entries this close together share a few cache lines, read anyway.
  static constexpr int64_t kNearby = 32;

  // Bytes 2 to 5 of `s`, those past its end as 0; meaningful only where `s`
  // has all six.
  static uint32_t KeyAt(const uint8_t* s, int64_t size) {
    uint32_t key = 0;
    for (int64_t i = 2; i < kKeyEnd; ++i) key = (key << 8) | (i < size ? s[i] : 0u);
    return key;
  }

  int64_t Start(int64_t i) const { return table_[stride_ * i]; }
  uint32_t Key(int64_t i) const { return static_cast<uint32_t>(table_[2 * i + 1]); }

  // A bucket holds the suffixes that start with the same two bytes and the
  // same high bits of the third (those past the end count as 0, so that a
  // shorter suffix, which sorts before its longer kin, stays in order). The
  // finer the buckets, the fewer scattered steps a search takes; 2^20 of
  // them cost 4 MiB.
  static constexpr int kThirdByteBits = 4;
  static constexpr uint32_t kBuckets = 1u << (16 + kThirdByteBits);

  static uint32_t BucketOf(const uint8_t* s, int64_t size) {
    const uint32_t b1 = size > 1 ? s[1] : 0u, b2 = size > 2 ? s[2] : 0u;
    return (((uint32_t{s[0]} << 8) | b1) << kThirdByteBits) | (b2 >> (8 - kThirdByteBits));
  }

  const uint8_t* base_ = nullptr;
  int64_t size_ = 0;
  bool keyed_ = false;
  size_t stride_ = 1;
  std::vector<saidx_t> table_;  // per entry: the suffix's start, its key when keyed
  std::vector<saidx_t> buckets_;
};

void PutUnsigned(std::string* out, uint64_t v) {
  do {
    uint8_t b = v & 0x7F;
    v >>= 7;
    if (v) b |= 0x80;
    out->push_back(static_cast<char>(b));
  } while (v);
}

void PutSigned(std::string* out, int64_t v) {
  PutUnsigned(out, v < 0 ? ((static_cast<uint64_t>(-(v + 1)) << 1) | 1)
                         : static_cast<uint64_t>(v) << 1);
}

// A new match is taken when it explains this many more bytes than simply
// continuing with the current offset; smaller gains cost more control data
// than they save.
constexpr int64_t kMatchGain = 8;
// Matches longer than this are followed rather than searched again.
constexpr int64_t kReuseLength = 64;

// Splits `result` into the three raw streams: the classic greedy matching
// with forward and backward extension of approximate matches.
void Match(const uint8_t* base, int64_t base_size, const uint8_t* result, int64_t result_size,
           const SuffixIndex& index, std::string streams[kPatchStreams]) {
  int64_t scan = 0, len = 0, pos = 0, last_scan = 0, last_pos = 0, last_offset = 0;
  int64_t pending_seek = 0;  // base offset change not yet written
  while (scan < result_size) {
    int64_t old_score = 0;
    bool first = true;
    for (int64_t scsc = scan += len; scan < result_size; ++scan, first = false) {
      if (!first && len > kReuseLength) {
        // Stepping one byte along a long match that was not taken: the same
        // match one byte on is as good a candidate, and searching again
        // would make long runs of equal bytes quadratic.
        ++pos;
        --len;
      } else {
        len = index.Search(result + scan, result_size - scan, &pos);
      }
      for (; scsc < scan + len; ++scsc) {
        if (scsc + last_offset < base_size && base[scsc + last_offset] == result[scsc]) {
          ++old_score;
        }
      }
      if ((len == old_score && len != 0) || len > old_score + kMatchGain) break;
      if (scan + last_offset < base_size && base[scan + last_offset] == result[scan]) --old_score;
    }
    if (len == old_score && scan != result_size) continue;

    // How far the previous match extends forward, and the new one backward,
    // while at least half of the bytes agree.
    int64_t s = 0, best = 0, len_f = 0;
    for (int64_t i = 0; last_scan + i < scan && last_pos + i < base_size;) {
      if (base[last_pos + i] == result[last_scan + i]) ++s;
      ++i;
      if (s * 2 - i > best * 2 - len_f) {
        best = s;
        len_f = i;
      }
    }
    int64_t len_b = 0;
    if (scan < result_size) {
      s = 0;
      best = 0;
      for (int64_t i = 1; scan >= last_scan + i && pos >= i; ++i) {
        if (base[pos - i] == result[scan - i]) ++s;
        if (s * 2 - i > best * 2 - len_b) {
          best = s;
          len_b = i;
        }
      }
    }
    if (last_scan + len_f > scan - len_b) {  // the extensions overlap: split them
      int64_t overlap = (last_scan + len_f) - (scan - len_b);
      s = 0;
      best = 0;
      int64_t lens = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (result[last_scan + len_f - overlap + i] == base[last_pos + len_f - overlap + i]) ++s;
        if (result[scan - len_b + i] == base[pos - len_b + i]) --s;
        if (s > best) {
          best = s;
          lens = i + 1;
        }
      }
      len_f += lens - overlap;
      len_b -= lens;
    }

    const int64_t extra = (scan - len_b) - (last_scan + len_f);
    if (len_f + extra > 0) {
      PutSigned(&streams[kControl], pending_seek);
      PutUnsigned(&streams[kControl], static_cast<uint64_t>(len_f));
      PutUnsigned(&streams[kControl], static_cast<uint64_t>(extra));
      for (int64_t i = 0; i < len_f; ++i) {
        streams[kDiff].push_back(static_cast<char>(result[last_scan + i] - base[last_pos + i]));
      }
      streams[kExtra].append(reinterpret_cast<const char*>(result) + last_scan + len_f,
                             static_cast<size_t>(extra));
      pending_seek = 0;
    }
    pending_seek += (pos - len_b) - (last_pos + len_f);
    last_scan = scan - len_b;
    last_pos = pos - len_b;
    last_offset = pos - scan;
  }
}

void PutRunLength(std::string* out, uint64_t v) {
  if (v < kRunEscape) {
    out->push_back(static_cast<char>(v));
    return;
  }
  out->push_back(static_cast<char>(kRunEscape));
  PutUnsigned(out, v - kRunEscape);
}

// The differences as pairs of lengths, a run of zeros and the non-zero bytes
// after it, into `runs`, and those bytes into `bytes` (after their pair when
// both are the same string). LZMA's optimal parsing spends most of its time
// on the many short matches that zero runs between sparse changes offer;
// without the zeros it has a quarter of the bytes and few such matches.
void SplitRuns(std::string_view diff, std::string* runs, std::string* bytes) {
  const size_t n = diff.size();
  size_t i = 0;
  while (i < n) {
    size_t zeros_end = i;
    while (zeros_end < n && diff[zeros_end] == 0) ++zeros_end;
    size_t end = zeros_end;
    while (end < n && diff[end] != 0) ++end;
    PutRunLength(runs, zeros_end - i);
    PutRunLength(runs, end - zeros_end);
    bytes->append(diff.data() + zeros_end, end - zeros_end);
    i = end;
  }
}

struct Candidate {
  PatchStreamInfo info;
  std::string bytes;
};

// The dictionary an LZMA stream of `size` bytes needs, up to `cap`.
uint32_t DictionaryFor(size_t size, uint32_t cap) {
  uint32_t dict = 4096;
  while (dict < size && dict < cap) dict <<= 1;
  return dict;
}

struct StreamCoding {
  unsigned lc, lp, pb;
  uint32_t max_dictionary;
  bool try_bzip2;
};

bool CompressLzma(std::string_view raw, const StreamCoding& coding, Candidate* out) {
  const unsigned lc = coding.lc, lp = coding.lp, pb = coding.pb;
  lzma_options_lzma opt;
  if (lzma_lzma_preset(&opt, 9 | LZMA_PRESET_EXTREME)) return false;
  opt.dict_size = DictionaryFor(raw.size(), coding.max_dictionary);
  opt.lc = lc;
  opt.lp = lp;
  opt.pb = pb;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream st = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&st, filters) != LZMA_OK) return false;
  std::unique_ptr<lzma_stream, void (*)(lzma_stream*)> guard(&st, lzma_end);
  std::string& bytes = out->bytes;
  bytes.resize(raw.size() / 8 + kPiece);
  st.next_in = reinterpret_cast<const uint8_t*>(raw.data());
  st.avail_in = raw.size();
  size_t done = 0;
  for (;;) {
    st.next_out = reinterpret_cast<uint8_t*>(bytes.data()) + done;
    st.avail_out = bytes.size() - done;
    lzma_ret ret = lzma_code(&st, LZMA_FINISH);
    done = bytes.size() - st.avail_out;
    if (ret == LZMA_STREAM_END) break;
    if (ret != LZMA_OK) return false;
    if (st.avail_out == 0) bytes.resize(bytes.size() * 2);
  }
  bytes.resize(done);
  out->info.method = PatchMethod::kLzma;
  out->info.lzma_props = static_cast<uint8_t>((pb * 5 + lp) * 9 + lc);
  out->info.dict_size = opt.dict_size;
  return true;
}

bool CompressBzip2(std::string_view raw, Candidate* out) {
  bz_stream st;
  std::memset(&st, 0, sizeof st);
  if (BZ2_bzCompressInit(&st, 9, 0, 30) != BZ_OK) return false;
  struct Guard {
    bz_stream* s;
    ~Guard() { BZ2_bzCompressEnd(s); }
  } guard{&st};
  std::string& bytes = out->bytes;
  bytes.resize(raw.size() / 4 + kPiece);
  size_t in_done = 0, done = 0;
  for (;;) {
    size_t in_now = std::min<size_t>(raw.size() - in_done, 1u << 30);
    st.next_in = const_cast<char*>(raw.data() + in_done);
    st.avail_in = static_cast<unsigned>(in_now);
    size_t out_now = std::min<size_t>(bytes.size() - done, 1u << 30);
    st.next_out = bytes.data() + done;
    st.avail_out = static_cast<unsigned>(out_now);
    bool last = in_done + in_now == raw.size();
    int ret = BZ2_bzCompress(&st, last ? BZ_FINISH : BZ_RUN);
    in_done += in_now - st.avail_in;
    done += out_now - st.avail_out;
    if (ret == BZ_STREAM_END) break;
    if (ret != BZ_RUN_OK && ret != BZ_FINISH_OK) return false;
    if (done == bytes.size()) bytes.resize(bytes.size() * 2);
  }
  bytes.resize(done);
  out->info.method = PatchMethod::kBzip2;
  return true;
}

// The smallest of the coders tried for this kind of stream; stored when
// nothing is smaller.
Candidate Compress(std::string_view raw, const StreamCoding& coding) {
  Candidate best;
  best.info.method = PatchMethod::kStored;
  best.bytes.assign(raw);
  auto consider = [&best](Candidate&& c) {
    if (c.bytes.size() < best.bytes.size()) best = std::move(c);
  };
  if (raw.empty()) return best;
  Candidate lzma;
  if (CompressLzma(raw, coding, &lzma)) consider(std::move(lzma));
  Candidate c;
  if (coding.try_bzip2 && CompressBzip2(raw, &c)) consider(std::move(c));
  best.info.raw_length = raw.size();
  best.info.packed_length = best.bytes.size();
  return best;
}

// ---- Applier ---------------------------------------------------------------

// Counts what the coders allocate, and refuses what would pass the bound.
class CoderMemory {
 public:
  explicit CoderMemory(uint64_t budget) : budget_(budget) {}
  void* Allocate(size_t size) {
    if (size > budget_ - std::min(budget_, used_) || size > SIZE_MAX - kAlign) return nullptr;
    void* p = std::malloc(size + kAlign);
    if (!p) return nullptr;
    *static_cast<size_t*>(p) = size;
    used_ += size;
    peak_ = std::max(peak_, used_);
    return static_cast<char*>(p) + kAlign;
  }
  void Free(void* p) {
    if (!p) return;
    void* block = static_cast<char*>(p) - kAlign;
    used_ -= *static_cast<size_t*>(block);
    std::free(block);
  }
  uint64_t peak() const { return peak_; }

 private:
  static constexpr size_t kAlign = 16;
  uint64_t budget_;
  uint64_t used_ = 0;
  uint64_t peak_ = 0;
};

void* LzmaAlloc(void* opaque, size_t n, size_t size) {
  if (size != 0 && n > SIZE_MAX / size) return nullptr;
  return static_cast<CoderMemory*>(opaque)->Allocate(n * size);
}
void LzmaFree(void* opaque, void* p) { static_cast<CoderMemory*>(opaque)->Free(p); }
void* BzAlloc(void* opaque, int n, int size) {
  if (n < 0 || size < 0) return nullptr;
  return LzmaAlloc(opaque, static_cast<size_t>(n), static_cast<size_t>(size));
}
void BzFree(void* opaque, void* p) { LzmaFree(opaque, p); }

// Reads `size` bytes at `offset` whole; false when the source gives fewer.
bool ReadFully(const PatchSource& source, uint64_t offset, char* buf, size_t size) {
  while (size > 0) {
    int64_t n = source(offset, buf, size);
    if (n <= 0 || static_cast<uint64_t>(n) > size) return false;
    buf += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

// One stream of the patch, decoded on demand. Never yields more than the
// header's raw length, and finishes only where the coder's stream ends.
class StreamReader {
 public:
  StreamReader(const PatchSource& patch, uint64_t offset, const PatchStreamInfo& info,
               CoderMemory* memory)
      : patch_(patch), offset_(offset), info_(info), memory_(memory) {}
  ~StreamReader() {
    if (lzma_started_) lzma_end(&lzma_);
    if (bz_started_) BZ2_bzDecompressEnd(&bz_);
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  PatchStatus Start() {
    if (info_.method == PatchMethod::kLzma) {
      lzma_options_lzma opt;
      if (lzma_lzma_preset(&opt, 0)) return PatchStatus::kNoMemory;
      opt.dict_size = info_.dict_size;
      opt.lc = info_.lzma_props % 9;
      opt.lp = (info_.lzma_props / 9) % 5;
      opt.pb = info_.lzma_props / 45;
      lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
      allocator_ = {LzmaAlloc, LzmaFree, memory_};
      lzma_.allocator = &allocator_;
      lzma_ret ret = lzma_raw_decoder(&lzma_, filters);
      if (ret == LZMA_MEM_ERROR) return PatchStatus::kNoMemory;
      if (ret != LZMA_OK) return PatchStatus::kBadHeader;
      lzma_started_ = true;
    } else if (info_.method == PatchMethod::kBzip2) {
      std::memset(&bz_, 0, sizeof bz_);
      bz_.bzalloc = BzAlloc;
      bz_.bzfree = BzFree;
      bz_.opaque = memory_;
      int ret = BZ2_bzDecompressInit(&bz_, 0, 0);
      if (ret == BZ_MEM_ERROR) return PatchStatus::kNoMemory;
      if (ret != BZ_OK) return PatchStatus::kBadHeader;
      bz_started_ = true;
    }
    return PatchStatus::kOk;
  }

  // Exactly `size` bytes into `out`.
  PatchStatus Read(char* out, size_t size) {
    if (size > info_.raw_length - yielded_) return PatchStatus::kCorrupt;
    while (size > 0) {
      if (out_pos_ == out_end_) {
        PatchStatus s = Fill();
        if (s != PatchStatus::kOk) return s;
        if (out_pos_ == out_end_) return PatchStatus::kCorrupt;  // ended early
      }
      size_t n = std::min(size, out_end_ - out_pos_);
      std::memcpy(out, out_buf_ + out_pos_, n);
      out_pos_ += n;
      out += n;
      size -= n;
      yielded_ += n;
    }
    return PatchStatus::kOk;
  }

  PatchStatus ReadVarint(uint64_t* value) {
    uint64_t v = 0;
    for (int shift = 0; shift < 63; shift += 7) {
      char c;
      PatchStatus s = Read(&c, 1);
      if (s != PatchStatus::kOk) return s;
      uint8_t b = static_cast<uint8_t>(c);
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) {
        if (v > kMaxControlValue) return PatchStatus::kCorrupt;
        *value = v;
        return PatchStatus::kOk;
      }
    }
    return PatchStatus::kCorrupt;
  }

  PatchStatus ReadRunLength(uint64_t* value) {
    char c;
    PatchStatus s = Read(&c, 1);
    if (s != PatchStatus::kOk) return s;
    if (static_cast<uint8_t>(c) < kRunEscape) {
      *value = static_cast<uint8_t>(c);
      return PatchStatus::kOk;
    }
    uint64_t rest;
    if ((s = ReadVarint(&rest)) != PatchStatus::kOk) return s;
    if (rest > kMaxControlValue - kRunEscape) return PatchStatus::kCorrupt;
    *value = rest + kRunEscape;
    return PatchStatus::kOk;
  }

  // Every byte was used, and the coder's stream ends exactly there.
  PatchStatus Finish() {
    if (yielded_ != info_.raw_length || out_pos_ != out_end_) return PatchStatus::kCorrupt;
    while (!ended_) {
      PatchStatus s = Fill();
      if (s != PatchStatus::kOk) return s;
      if (out_end_ != 0) return PatchStatus::kCorrupt;  // more bytes than stated
    }
    return in_read_ == info_.packed_length && in_pos_ == in_end_ ? PatchStatus::kOk
                                                                 : PatchStatus::kCorrupt;
  }

 private:
  // Decodes the next piece into the output buffer.
  PatchStatus Fill() {
    out_pos_ = out_end_ = 0;
    if (ended_) return PatchStatus::kOk;
    while (out_end_ == 0 && !ended_) {
      if (in_pos_ == in_end_ && in_read_ < info_.packed_length) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, info_.packed_length - in_read_));
        if (!ReadFully(patch_, offset_ + in_read_, in_buf_, n)) return PatchStatus::kReadFailed;
        in_read_ += n;
        in_pos_ = 0;
        in_end_ = n;
      }
      const bool input_done = in_read_ == info_.packed_length;
      if (info_.method == PatchMethod::kStored) {
        size_t n = in_end_ - in_pos_;
        std::memcpy(out_buf_, in_buf_ + in_pos_, n);
        in_pos_ = in_end_;
        out_end_ = n;
        if (input_done) ended_ = true;
      } else if (info_.method == PatchMethod::kLzma) {
        lzma_.next_in = reinterpret_cast<const uint8_t*>(in_buf_) + in_pos_;
        lzma_.avail_in = in_end_ - in_pos_;
        lzma_.next_out = reinterpret_cast<uint8_t*>(out_buf_);
        lzma_.avail_out = kPiece;
        lzma_ret ret = lzma_code(&lzma_, input_done ? LZMA_FINISH : LZMA_RUN);
        in_pos_ = in_end_ - lzma_.avail_in;
        out_end_ = kPiece - lzma_.avail_out;
        if (ret == LZMA_STREAM_END) {
          ended_ = true;
        } else if (ret == LZMA_MEM_ERROR) {
          return PatchStatus::kNoMemory;
        } else if (ret != LZMA_OK) {
          return PatchStatus::kCorrupt;  // damaged, or the input ran out
        }
      } else {
        bz_.next_in = in_buf_ + in_pos_;
        bz_.avail_in = static_cast<unsigned>(in_end_ - in_pos_);
        bz_.next_out = out_buf_;
        bz_.avail_out = static_cast<unsigned>(kPiece);
        int ret = BZ2_bzDecompress(&bz_);
        in_pos_ = in_end_ - bz_.avail_in;
        out_end_ = kPiece - bz_.avail_out;
        if (ret == BZ_STREAM_END) {
          ended_ = true;
        } else if (ret == BZ_MEM_ERROR) {
          return PatchStatus::kNoMemory;
        } else if (ret != BZ_OK) {
          return PatchStatus::kCorrupt;
        } else if (input_done && in_pos_ == in_end_ && out_end_ == 0) {
          return PatchStatus::kCorrupt;  // the input ran out before the end
        }
      }
    }
    return PatchStatus::kOk;
  }

  const PatchSource& patch_;
  const uint64_t offset_;
  const PatchStreamInfo info_;
  CoderMemory* memory_;
  lzma_allocator allocator_{};
  lzma_stream lzma_ = LZMA_STREAM_INIT;
  bz_stream bz_{};
  bool lzma_started_ = false;
  bool bz_started_ = false;
  bool ended_ = false;
  uint64_t in_read_ = 0;  // packed bytes read from the patch
  uint64_t yielded_ = 0;  // raw bytes handed out
  size_t in_pos_ = 0, in_end_ = 0, out_pos_ = 0, out_end_ = 0;
  char in_buf_[kPiece];
  char out_buf_[kPiece];
};

// The differences, from the stream of them alone (version 1) or from the
// runs' lengths and the non-zero bytes between them (which `runs` and
// `bytes` may both read from one stream).
class DiffReader {
 public:
  DiffReader(StreamReader* bytes, StreamReader* runs) : bytes_(bytes), runs_(runs) {}

  // Exactly `size` bytes into `out`.
  PatchStatus Read(char* out, size_t size) {
    if (!runs_) return bytes_->Read(out, size);
    while (size > 0) {
      size_t n;
      if (zeros_ > 0) {
        n = static_cast<size_t>(std::min<uint64_t>(size, zeros_));
        std::memset(out, 0, n);
        zeros_ -= n;
      } else if (nonzero_ > 0) {
        n = static_cast<size_t>(std::min<uint64_t>(size, nonzero_));
        PatchStatus s = bytes_->Read(out, n);
        if (s != PatchStatus::kOk) return s;
        nonzero_ -= n;
      } else {
        PatchStatus s;
        if ((s = runs_->ReadRunLength(&zeros_)) != PatchStatus::kOk ||
            (s = runs_->ReadRunLength(&nonzero_)) != PatchStatus::kOk) {
          return s;
        }
        // A pair that gives nothing would let damage spin without output.
        if (zeros_ == 0 && nonzero_ == 0) return PatchStatus::kCorrupt;
        continue;
      }
      out += n;
      size -= n;
    }
    return PatchStatus::kOk;
  }

  // No run was left unfinished (the streams finish on their own).
  PatchStatus Finish() const {
    return zeros_ == 0 && nonzero_ == 0 ? PatchStatus::kOk : PatchStatus::kCorrupt;
  }

 private:
  StreamReader* bytes_;
  StreamReader* runs_;
  uint64_t zeros_ = 0, nonzero_ = 0;  // left of the current pair
};

// Buffers the applier holds besides the coders: the readers', the base's
// chunks and a piece of the result.
constexpr uint64_t kApplyBuffers = kPatchStreams * sizeof(StreamReader) +
                                   kBaseChunks * (kBaseChunk + sizeof(uint64_t)) + kPiece;

}  // namespace

const char* PatchStatusText(PatchStatus status) {
  switch (status) {
    case PatchStatus::kOk: return "ok";
    case PatchStatus::kShortHeader: return "the patch is shorter than its header";
    case PatchStatus::kBadHeader: return "not a patch this program reads";
    case PatchStatus::kOtherBase: return "the patch is for another base";
    case PatchStatus::kOtherLength: return "the patch yields another length";
    case PatchStatus::kCorrupt: return "the patch is damaged";
    case PatchStatus::kOtherResult: return "the patched content has another SHA-256";
    case PatchStatus::kReadFailed: return "the base or the patch could not be read";
    case PatchStatus::kSinkFailed: return "the patched content could not be written";
    case PatchStatus::kNoMemory: return "out of memory";
  }
  return "unknown";
}

PatchStatus ReadPatchHeader(std::string_view bytes, uint64_t patch_size, PatchHeader* header) {
  if (bytes.size() < kPatchHeaderSizeV1 || patch_size < kPatchHeaderSizeV1) {
    return PatchStatus::kShortHeader;
  }
  const char* p = bytes.data();
  const uint32_t version = static_cast<uint32_t>(GetLe(p + 8, 4));
  if (std::memcmp(p, kMagic, sizeof kMagic) != 0 || (version != kVersion1 && version != kVersion)) {
    return PatchStatus::kBadHeader;
  }
  const size_t header_size = HeaderSize(version);
  if (bytes.size() < header_size || patch_size < header_size) return PatchStatus::kShortHeader;
  const uint64_t flags = GetLe(p + 12, 4);
  if (flags & ~uint64_t{version == kVersion1 ? 0 : kFlagInlineRuns}) return PatchStatus::kBadHeader;
  PatchHeader h;
  h.version = version;
  h.inline_runs = flags & kFlagInlineRuns;
  h.base_length = GetLe(p + 16, 8);
  h.result_length = GetLe(p + 24, 8);
  h.base_sha256 = BinToHex(p + 32);
  h.result_sha256 = BinToHex(p + 64);
  if (h.base_length > kMaxControlValue || h.result_length > kMaxControlValue) {
    return PatchStatus::kBadHeader;
  }
  const uint64_t packed_room = patch_size - header_size;
  uint64_t packed_total = 0, dictionaries = 0;
  for (int i = 0; i < StreamCount(version); ++i) {
    const char* s = p + kStreamInfoOffset + i * kStreamInfoSize;
    PatchStreamInfo& info = h.streams[i];
    uint8_t method = static_cast<uint8_t>(s[0]);
    info.lzma_props = static_cast<uint8_t>(s[1]);
    info.dict_size = static_cast<uint32_t>(GetLe(s + 4, 4));
    info.packed_length = GetLe(s + 8, 8);
    info.raw_length = GetLe(s + 16, 8);
    if (GetLe(s + 2, 2) != 0 || info.packed_length > kMaxControlValue ||
        info.raw_length > kMaxControlValue) {
      return PatchStatus::kBadHeader;
    }
    switch (method) {
      case static_cast<uint8_t>(PatchMethod::kStored):
        if (info.lzma_props || info.dict_size || info.packed_length != info.raw_length) {
          return PatchStatus::kBadHeader;
        }
        break;
      case static_cast<uint8_t>(PatchMethod::kLzma):
        if (!ValidLzmaProps(info.lzma_props) || info.dict_size < 4096 ||
            info.dict_size > kMaxPatchDictionary) {
          return PatchStatus::kBadHeader;
        }
        dictionaries += info.dict_size;
        break;
      case static_cast<uint8_t>(PatchMethod::kBzip2):
        if (info.lzma_props || info.dict_size) return PatchStatus::kBadHeader;
        dictionaries += kBzip2DecoderMemory;
        break;
      default:
        return PatchStatus::kBadHeader;
    }
    info.method = static_cast<PatchMethod>(method);
    // Four lengths below 2^62 could wrap a 64-bit sum: checked as it grows.
    packed_total += info.packed_length;
    if (packed_total > packed_room) return PatchStatus::kBadHeader;
  }
  // The applier holds every stream's decoder at once: three of the largest
  // dictionaries at most, however they are shared out.
  if (dictionaries > 3 * uint64_t{kMaxPatchDictionary}) return PatchStatus::kBadHeader;
  const PatchStreamInfo& diff = h.streams[kDiff];
  const PatchStreamInfo& extra = h.streams[kExtra];
  const PatchStreamInfo& runs = h.streams[kRuns];
  if (version == kVersion1) {
    // Every result byte comes from exactly one of the two data streams.
    if (diff.raw_length + extra.raw_length != h.result_length) return PatchStatus::kBadHeader;
  } else if (extra.raw_length > h.result_length) {
    return PatchStatus::kBadHeader;
  } else if (h.inline_runs ? runs.raw_length != 0
                           : diff.raw_length > h.result_length - extra.raw_length ||
                                 (runs.raw_length == 0 && diff.raw_length != 0)) {
    // Non-zero differences need runs to place them; with the runs inline,
    // their stream stays empty.
    return PatchStatus::kBadHeader;
  }
  // The streams fill the patch to its end.
  if (packed_total != packed_room) return PatchStatus::kBadHeader;
  *header = std::move(h);
  return PatchStatus::kOk;
}

bool MakePatch(std::string_view base, std::string_view result, std::string* patch) {
  if (base.size() >= static_cast<size_t>(INT32_MAX) ||
      static_cast<uint64_t>(result.size()) > kMaxControlValue) {
    return false;
  }
  try {
    const auto* b = reinterpret_cast<const uint8_t*>(base.data());
    const auto* r = reinterpret_cast<const uint8_t*>(result.data());
    const auto base_size = static_cast<int64_t>(base.size());
    std::string raw[kPatchStreams];
    {
      SuffixIndex index;
      if (!index.Build(b, base_size)) return false;
      Match(b, base_size, r, static_cast<int64_t>(result.size()), index, raw);
    }
    // Literal contexts that measured best on real programs: new bytes are
    // code and text; runs' lengths come in pairs. The two streams made from
    // the differences share one large dictionary's memory, so that the
    // applier never holds more than three.
    constexpr uint32_t kMaxDict = kMaxPatchDictionary;
    Candidate packed[kPatchStreams];
    packed[kControl] = Compress(raw[kControl], {1, 0, 0, kMaxDict, true});
    raw[kControl] = std::string();
    packed[kExtra] = Compress(raw[kExtra], {2, 0, 0, kMaxDict, true});
    raw[kExtra] = std::string();
    // Lengths apart from bytes compress best where changes are scattered
    // (each kind repeats on its own); lengths before their bytes where whole
    // stretches of changes recur, as when a block of code moved. Both are
    // made, each a fraction of the work the zero runs themselves would cost,
    // and the smaller kept. bzip2 never won on either.
    bool inline_runs = false;
    {
      std::string runs, bytes;
      SplitRuns(raw[kDiff], &runs, &bytes);
      packed[kDiff] = Compress(bytes, {0, 0, 0, kMaxDict / 2, false});
      packed[kRuns] = Compress(runs, {1, 1, 1, kMaxDict / 2, false});
    }
    {
      std::string together;
      SplitRuns(raw[kDiff], &together, &together);
      raw[kDiff] = std::string();
      Candidate joined = Compress(together, {3, 0, 0, kMaxDict, false});
      if (joined.bytes.size() < packed[kDiff].bytes.size() + packed[kRuns].bytes.size()) {
        inline_runs = true;
        packed[kDiff] = std::move(joined);
        packed[kRuns] = Candidate();
      }
    }

    char header[kPatchHeaderSize] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    PutLe(kVersion, 4, header + 8);
    PutLe(inline_runs ? kFlagInlineRuns : 0, 4, header + 12);
    PutLe(base.size(), 8, header + 16);
    PutLe(result.size(), 8, header + 24);
    HexToBin(Sha256Hex(base), header + 32);
    HexToBin(Sha256Hex(result), header + 64);
    size_t total = kPatchHeaderSize;
    for (int i = 0; i < kPatchStreams; ++i) {
      char* s = header + kStreamInfoOffset + i * kStreamInfoSize;
      const PatchStreamInfo& info = packed[i].info;
      s[0] = static_cast<char>(info.method);
      s[1] = static_cast<char>(info.lzma_props);
      PutLe(info.dict_size, 4, s + 4);
      PutLe(info.packed_length, 8, s + 8);
      PutLe(info.raw_length, 8, s + 16);
      total += packed[i].bytes.size();
    }
    patch->clear();
    patch->reserve(total);
    patch->append(header, sizeof header);
    for (const Candidate& c : packed) patch->append(c.bytes);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

PatchStatus ApplyPatch(const PatchSource& base, uint64_t base_size, const PatchSource& patch,
                       uint64_t patch_size, const std::function<bool(std::string_view)>& sink,
                       int64_t expected_length, uint64_t* coder_memory) {
  if (coder_memory) *coder_memory = 0;
  char header_bytes[kPatchHeaderSize];
  if (patch_size < kPatchHeaderSizeV1) return PatchStatus::kShortHeader;
  // A first-version patch may be shorter than the current header.
  const size_t header_read = static_cast<size_t>(std::min<uint64_t>(patch_size, kPatchHeaderSize));
  if (!ReadFully(patch, 0, header_bytes, header_read)) return PatchStatus::kReadFailed;
  PatchHeader h;
  PatchStatus status = ReadPatchHeader(std::string_view(header_bytes, header_read), patch_size, &h);
  if (status != PatchStatus::kOk) return status;
  if (h.base_length != base_size) return PatchStatus::kOtherBase;
  if (expected_length >= 0 && h.result_length != static_cast<uint64_t>(expected_length)) {
    return PatchStatus::kOtherLength;
  }

  CoderMemory memory(kMaxPatchApplyMemory - kApplyBuffers);
  std::unique_ptr<StreamReader> streams[kPatchStreams];
  std::unique_ptr<char[]> old_piece, new_piece;
  // A small base needs only as many slots as it has chunks.
  const size_t slots = static_cast<size_t>(
      std::clamp<uint64_t>((base_size + kBaseChunk - 1) / kBaseChunk, 1, kBaseChunks));
  std::unique_ptr<uint64_t[]> chunk_start;
  try {
    // A first-version patch has no runs stream: it reads as an empty one.
    uint64_t offset = HeaderSize(h.version);
    for (int i = 0; i < kPatchStreams; ++i) {
      streams[i] = std::make_unique<StreamReader>(patch, offset, h.streams[i], &memory);
      offset += h.streams[i].packed_length;
      if ((status = streams[i]->Start()) != PatchStatus::kOk) return status;
    }
    old_piece = std::make_unique<char[]>(slots * kBaseChunk);
    chunk_start = std::make_unique<uint64_t[]>(slots);
    new_piece = std::make_unique<char[]>(kPiece);
  } catch (const std::bad_alloc&) {
    return PatchStatus::kNoMemory;
  }
  StreamReader& control = *streams[kControl];
  StreamReader& extra = *streams[kExtra];
  DiffReader diff(streams[kDiff].get(),
                  h.version == kVersion1 ? nullptr
                  : h.inline_runs        ? streams[kDiff].get()
                                         : streams[kRuns].get());

  // The chunk that holds `at`, read into its slot when the slot holds
  // another; *n is cut to what the chunk holds from `at` on.
  std::fill_n(chunk_start.get(), slots, ~uint64_t{0});
  auto read_base = [&](uint64_t at, size_t* n, const char** out) {
    const uint64_t index = at / kBaseChunk;
    const uint64_t start = index * kBaseChunk;
    const size_t slot = static_cast<size_t>(index % slots);
    char* mem = old_piece.get() + slot * kBaseChunk;
    const uint64_t size = std::min<uint64_t>(kBaseChunk, base_size - start);
    if (chunk_start[slot] != start) {
      chunk_start[slot] = ~uint64_t{0};
      if (!ReadFully(base, start, mem, static_cast<size_t>(size))) return false;
      chunk_start[slot] = start;
    }
    *n = static_cast<size_t>(std::min<uint64_t>(*n, start + size - at));
    *out = mem + (at - start);
    return true;
  };

  Sha256 hash;
  uint64_t written = 0, old_pos = 0;
  // The result is handed on in whole pieces: adds and copies are often a few
  // bytes each, and a write per add would cost more than the decoding.
  size_t fill = 0;
  auto flush = [&] {
    std::string_view piece(new_piece.get(), fill);
    fill = 0;
    hash.Update(piece);
    return piece.empty() || sink(piece);
  };
  while (written < h.result_length) {
    uint64_t zigzag, add, copy;
    if ((status = control.ReadVarint(&zigzag)) != PatchStatus::kOk ||
        (status = control.ReadVarint(&add)) != PatchStatus::kOk ||
        (status = control.ReadVarint(&copy)) != PatchStatus::kOk) {
      return status;
    }
    // Every triple makes progress, so damage cannot spin without output.
    if (add == 0 && copy == 0) return PatchStatus::kCorrupt;
    const bool back = zigzag & 1;
    const uint64_t seek = back ? (zigzag >> 1) + 1 : zigzag >> 1;
    if (back ? seek > old_pos : seek > base_size - old_pos) return PatchStatus::kCorrupt;
    old_pos = back ? old_pos - seek : old_pos + seek;
    const uint64_t room = h.result_length - written;
    if (add > room || copy > room - add || add > base_size - old_pos) {
      return PatchStatus::kCorrupt;
    }
    while (add > 0) {
      if (fill == kPiece && !flush()) return PatchStatus::kSinkFailed;
      size_t n = static_cast<size_t>(std::min<uint64_t>(add, kPiece - fill));
      const char* old_bytes;
      if (!read_base(old_pos, &n, &old_bytes)) return PatchStatus::kReadFailed;
      char* out = new_piece.get() + fill;
      if ((status = diff.Read(out, n)) != PatchStatus::kOk) return status;
      for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(out[i] + old_bytes[i]);
      fill += n;
      written += n;
      old_pos += n;
      add -= n;
    }
    while (copy > 0) {
      if (fill == kPiece && !flush()) return PatchStatus::kSinkFailed;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(copy, kPiece - fill));
      if ((status = extra.Read(new_piece.get() + fill, n)) != PatchStatus::kOk) return status;
      fill += n;
      written += n;
      copy -= n;
    }
  }
  if (!flush()) return PatchStatus::kSinkFailed;
  if ((status = diff.Finish()) != PatchStatus::kOk) return status;
  for (auto& s : streams) {
    if ((status = s->Finish()) != PatchStatus::kOk) return status;
  }
  if (coder_memory) *coder_memory = memory.peak() + kApplyBuffers;
  return hash.FinishHex() == h.result_sha256 ? PatchStatus::kOk : PatchStatus::kOtherResult;
}

PatchStatus ApplyPatchFile(const std::string& base_path, const std::string& patch_path,
                           const std::string& result_path, int64_t expected_length) {
  const int64_t base_size = fs::FileSize(base_path);
  const int64_t patch_size = fs::FileSize(patch_path);
  fs::InputFile base, patch;
  if (base_size < 0 || patch_size < 0 || !base.Open(base_path) || !patch.Open(patch_path)) {
    return PatchStatus::kReadFailed;
  }
  fs::OutputFile out;
  if (!out.Create(result_path)) return PatchStatus::kSinkFailed;
  auto reader = [](fs::InputFile& file) {
    return [&file](uint64_t offset, char* buf, size_t cap) { return file.ReadAt(offset, buf, cap); };
  };
  PatchStatus status = ApplyPatch(
      reader(base), static_cast<uint64_t>(base_size), reader(patch),
      static_cast<uint64_t>(patch_size),
      [&out](std::string_view piece) { return out.Write(piece.data(), piece.size()); },
      expected_length);
  if (!out.Close() && status == PatchStatus::kOk) return PatchStatus::kSinkFailed;
  return status;
}

}  // namespace quasto
