#include "shared/packed_file.h"

#include <lzma.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace quasto {
namespace {

// LZMA properties: one byte for lc/lp/pb, four for the dictionary size.
constexpr size_t kLzmaPropsSize = 5;

void PutDouble(double v, char* out) {
  uint64_t bits = std::bit_cast<uint64_t>(v);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

double GetDouble(const char* in) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(static_cast<uint8_t>(in[i])) << (8 * i);
  return std::bit_cast<double>(bits);
}

bool ValidLength(double v) {
  return std::isfinite(v) && v >= 0 && v <= kMaxPackedLength && v == std::trunc(v);
}

// Releases a coder however the function ends.
struct Stream {
  lzma_stream s = LZMA_STREAM_INIT;
  ~Stream() { lzma_end(&s); }
};

// The dictionary the packer asks for: the preset's, shrunk to the smallest
// power of two that holds the content, so small files need little memory to
// unpack.
uint32_t DictionaryFor(size_t content_size, uint32_t preset_dict) {
  uint32_t dict = 4096;
  while (dict < content_size && dict < preset_dict) dict <<= 1;
  return std::min(dict, preset_dict);
}

// LZMA payload (properties + stream) of `content` into `out`, or false when it
// would be longer than `limit` bytes or the coder fails.
bool LzmaPayload(std::string_view content, size_t limit, std::string* out) {
  if (limit < kLzmaPropsSize + 1) return false;
  lzma_options_lzma opt;
  if (lzma_lzma_preset(&opt, 5)) return false;
  opt.dict_size = DictionaryFor(content.size(), opt.dict_size);
  opt.ext_flags = 0;  // no end marker: the header carries the length
  opt.ext_size_low = static_cast<uint32_t>(content.size());
  opt.ext_size_high = static_cast<uint32_t>(static_cast<uint64_t>(content.size()) >> 32);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};

  out->resize(limit);
  // Property byte and the dictionary size, little-endian.
  (*out)[0] = static_cast<char>((opt.pb * 5 + opt.lp) * 9 + opt.lc);
  for (int i = 0; i < 4; ++i) (*out)[1 + i] = static_cast<char>((opt.dict_size >> (8 * i)) & 0xFF);

  Stream st;
  if (lzma_raw_encoder(&st.s, filters) != LZMA_OK) return false;
  st.s.next_in = reinterpret_cast<const uint8_t*>(content.data());
  st.s.avail_in = content.size();
  st.s.next_out = reinterpret_cast<uint8_t*>(out->data()) + kLzmaPropsSize;
  st.s.avail_out = limit - kLzmaPropsSize;
  for (;;) {
    lzma_ret ret = lzma_code(&st.s, LZMA_FINISH);
    if (ret == LZMA_STREAM_END) break;
    if (ret != LZMA_OK || st.s.avail_out == 0) return false;  // error, or no room
  }
  out->resize(limit - st.s.avail_out);
  return true;
}

}  // namespace

uint32_t Crc32(std::string_view data, uint32_t crc) {
  return lzma_crc32(reinterpret_cast<const uint8_t*>(data.data()), data.size(), crc);
}

std::string MakePackName(std::string_view name, std::string_view path) {
  std::string base(name), ext;
  size_t dot = name.rfind('.');
  bool has_ext = dot != std::string_view::npos && dot != 0 &&
                 name.find(' ', dot) == std::string_view::npos;
  if (has_ext && dot + 1 < name.size()) {
    base = std::string(name.substr(0, dot));
    ext = std::string(name.substr(dot + 1));
  }
  std::string out;
  if (!path.empty()) {
    out.push_back('{');
    for (char c : path) {
      if (c != '\\') out.push_back(c);
    }
    out.push_back('}');
  }
  out += base;
  out += '[';
  out += ext;
  out += "].uzf";
  return out;
}

void WritePackedHeader(const PackedHeader& header, char out[kPackedHeaderSize]) {
  PutDouble(header.packed_length, out);
  PutDouble(header.unpacked_length, out + 8);
}

std::string PackContent(std::string_view content) {
  std::string payload;
  char header[kPackedHeaderSize];
  std::string out;
  if (LzmaPayload(content, content.size(), &payload)) {
    WritePackedHeader({static_cast<double>(payload.size()), static_cast<double>(content.size())},
                      header);
    out.reserve(kPackedHeaderSize + payload.size());
    out.append(header, kPackedHeaderSize);
    out += payload;
  } else {
    WritePackedHeader({0.0, static_cast<double>(content.size())}, header);
    out.reserve(kPackedHeaderSize + content.size());
    out.append(header, kPackedHeaderSize);
    out += content;
  }
  return out;
}

const char* UnpackStatusText(UnpackStatus status) {
  switch (status) {
    case UnpackStatus::kOk: return "ok";
    case UnpackStatus::kShortHeader: return "shorter than its header";
    case UnpackStatus::kBadHeader: return "invalid lengths in the header";
    case UnpackStatus::kTruncated: return "payload shorter than the header says";
    case UnpackStatus::kBadProperties: return "invalid LZMA properties";
    case UnpackStatus::kCorrupt: return "damaged LZMA data";
    case UnpackStatus::kSinkFailed: return "content could not be written";
    case UnpackStatus::kNoMemory: return "out of memory";
    case UnpackStatus::kReadFailed: return "packed file could not be read";
    case UnpackStatus::kOtherLength: return "content length differs from the one expected";
  }
  return "unknown";
}

UnpackStatus ReadPackedHeader(std::string_view packed, PackedHeader* header) {
  if (packed.size() < kPackedHeaderSize) return UnpackStatus::kShortHeader;
  PackedHeader h{GetDouble(packed.data()), GetDouble(packed.data() + 8)};
  if (!ValidLength(h.packed_length) || !ValidLength(h.unpacked_length)) {
    return UnpackStatus::kBadHeader;
  }
  const double payload = h.packed_length != 0 ? h.packed_length : h.unpacked_length;
  if (static_cast<double>(packed.size() - kPackedHeaderSize) < payload) {
    return UnpackStatus::kTruncated;
  }
  *header = h;
  return UnpackStatus::kOk;
}

UnpackStatus UnpackStream(const PackedReader& read, uint64_t total_size,
                          const std::function<bool(std::string_view)>& sink,
                          int64_t expected_length) {
  constexpr size_t kPiece = 64 * 1024;
  // Reads exactly n bytes unless the source ends or fails first.
  auto read_full = [&read](char* buf, size_t n) -> int64_t {
    size_t got = 0;
    while (got < n) {
      int64_t r = read(buf + got, n - got);
      if (r < 0) return -1;
      if (r == 0) break;
      got += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(got);
  };

  char head[kPackedHeaderSize];
  int64_t got = read_full(head, kPackedHeaderSize);
  if (got < 0) return UnpackStatus::kReadFailed;
  if (static_cast<size_t>(got) < kPackedHeaderSize || total_size < kPackedHeaderSize) {
    return UnpackStatus::kShortHeader;
  }
  PackedHeader h{GetDouble(head), GetDouble(head + 8)};
  if (!ValidLength(h.packed_length) || !ValidLength(h.unpacked_length)) {
    return UnpackStatus::kBadHeader;
  }
  const auto unpacked = static_cast<uint64_t>(h.unpacked_length);
  if (expected_length >= 0 && unpacked != static_cast<uint64_t>(expected_length)) {
    return UnpackStatus::kOtherLength;
  }
  const uint64_t payload_length =
      h.packed_length != 0 ? static_cast<uint64_t>(h.packed_length) : unpacked;
  if (total_size - kPackedHeaderSize < payload_length) return UnpackStatus::kTruncated;

  std::unique_ptr<char[]> buf(new (std::nothrow) char[kPiece]);
  if (!buf) return UnpackStatus::kNoMemory;

  if (h.packed_length == 0) {
    for (uint64_t left = unpacked; left > 0;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, kPiece));
      if (read_full(buf.get(), n) != static_cast<int64_t>(n)) return UnpackStatus::kTruncated;
      if (!sink(std::string_view(buf.get(), n))) return UnpackStatus::kSinkFailed;
      left -= n;
    }
    return UnpackStatus::kOk;
  }

  if (payload_length < kLzmaPropsSize) return UnpackStatus::kBadProperties;
  uint8_t props[kLzmaPropsSize];
  if (read_full(reinterpret_cast<char*>(props), kLzmaPropsSize) != kLzmaPropsSize) {
    return UnpackStatus::kTruncated;
  }
  lzma_filter filter{LZMA_FILTER_LZMA1EXT, nullptr};
  if (lzma_properties_decode(&filter, nullptr, props, kLzmaPropsSize) != LZMA_OK) {
    return UnpackStatus::kBadProperties;
  }
  lzma_options_lzma opt = *static_cast<lzma_options_lzma*>(filter.options);
  free(filter.options);
  if (opt.dict_size > kMaxDictionary) return UnpackStatus::kBadProperties;
  // A valid stream never reaches further back than what it has produced, so
  // a dictionary larger than the content is never needed.
  opt.dict_size = static_cast<uint32_t>(
      std::max<uint64_t>(LZMA_DICT_SIZE_MIN, std::min<uint64_t>(opt.dict_size, unpacked)));
  opt.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  opt.ext_size_low = static_cast<uint32_t>(unpacked);
  opt.ext_size_high = static_cast<uint32_t>(unpacked >> 32);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};

  Stream st;
  lzma_ret ret = lzma_raw_decoder(&st.s, filters);
  if (ret == LZMA_MEM_ERROR) return UnpackStatus::kNoMemory;
  if (ret != LZMA_OK) return UnpackStatus::kBadProperties;

  std::unique_ptr<char[]> in(new (std::nothrow) char[kPiece]);
  if (!in) return UnpackStatus::kNoMemory;
  uint64_t input_left = payload_length - kLzmaPropsSize;
  uint64_t total = 0;
  for (;;) {
    if (st.s.avail_in == 0 && input_left > 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(input_left, kPiece));
      if (read_full(in.get(), n) != static_cast<int64_t>(n)) return UnpackStatus::kTruncated;
      st.s.next_in = reinterpret_cast<const uint8_t*>(in.get());
      st.s.avail_in = n;
      input_left -= n;
    }
    st.s.next_out = reinterpret_cast<uint8_t*>(buf.get());
    st.s.avail_out = kPiece;
    ret = lzma_code(&st.s, input_left == 0 ? LZMA_FINISH : LZMA_RUN);
    size_t produced = kPiece - st.s.avail_out;
    if (produced > 0) {
      total += produced;
      if (total > unpacked) return UnpackStatus::kCorrupt;
      if (!sink(std::string_view(buf.get(), produced))) return UnpackStatus::kSinkFailed;
    }
    if (ret == LZMA_STREAM_END) break;
    if (ret == LZMA_MEM_ERROR) return UnpackStatus::kNoMemory;
    if (ret != LZMA_OK) return UnpackStatus::kCorrupt;
  }
  return total == unpacked ? UnpackStatus::kOk : UnpackStatus::kCorrupt;
}

UnpackStatus UnpackContent(std::string_view packed,
                           const std::function<bool(std::string_view)>& sink) {
  size_t pos = 0;
  PackedReader read = [&](char* buf, size_t cap) -> int64_t {
    size_t n = std::min(cap, packed.size() - pos);
    std::memcpy(buf, packed.data() + pos, n);
    pos += n;
    return static_cast<int64_t>(n);
  };
  return UnpackStream(read, packed.size(), sink);
}

UnpackStatus UnpackContent(std::string_view packed, std::string* out) {
  out->clear();
  try {
    return UnpackContent(packed, [out](std::string_view piece) {
      out->append(piece);
      return true;
    });
  } catch (const std::bad_alloc&) {
    out->clear();
    return UnpackStatus::kNoMemory;
  }
}

}  // namespace quasto
