#include "shared/packer.h"

#include <lzma.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "shared/content_hash.h"
#include "shared/file_stream.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/two_thread_encoder.h"

namespace quasto {
namespace {

constexpr size_t kChunk = 1 << 20;
constexpr size_t kLzmaPropsSize = 5;

// Same dictionary choice as PackContent: the preset's, shrunk to the smallest
// power of two (at least 4 KiB) that holds the content.
uint32_t DictionaryFor(uint64_t content_size, uint32_t preset_dict) {
  uint32_t dict = 4096;
  while (dict < content_size && dict < preset_dict) dict <<= 1;
  return std::min(dict, preset_dict);
}

struct Encoder {
  lzma_stream s = LZMA_STREAM_INIT;
  ~Encoder() { lzma_end(&s); }
};

// Removes the temporary file unless the pack went through.
struct TempGuard {
  std::string path;
  bool keep = false;
  ~TempGuard() {
    if (!keep) fs::RemoveFile(path);
  }
};

enum class LzmaOutcome { kOk, kTooLong, kReadFailed, kChanged, kWriteFailed, kCoderFailed };

// Writes properties and stream behind the header; gives up as soon as the
// payload would be longer than the content.
LzmaOutcome WriteLzma(fs::InputFile& in, fs::OutputFile& out, uint64_t size,
                      std::vector<uint8_t>& inbuf, std::vector<uint8_t>& outbuf,
                      uint64_t* payload, Sha256* hash) {
  lzma_options_lzma opt;
  if (lzma_lzma_preset(&opt, 5)) return LzmaOutcome::kCoderFailed;
  opt.dict_size = DictionaryFor(size, opt.dict_size);
  opt.ext_flags = 0;
  opt.ext_size_low = static_cast<uint32_t>(size);
  opt.ext_size_high = static_cast<uint32_t>(size >> 32);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};

  uint8_t props[kLzmaPropsSize];
  props[0] = static_cast<uint8_t>((opt.pb * 5 + opt.lp) * 9 + opt.lc);
  for (int i = 0; i < 4; ++i) props[1 + i] = static_cast<uint8_t>((opt.dict_size >> (8 * i)) & 0xFF);
  if (!out.Write(props, kLzmaPropsSize)) return LzmaOutcome::kWriteFailed;
  *payload = kLzmaPropsSize;

  Encoder enc;
  if (lzma_raw_encoder(&enc.s, filters) != LZMA_OK) return LzmaOutcome::kCoderFailed;
  uint64_t read_total = 0;
  bool eof = false;
  enc.s.next_out = outbuf.data();
  enc.s.avail_out = outbuf.size();
  for (;;) {
    if (enc.s.avail_in == 0 && !eof) {
      int64_t n = in.Read(inbuf.data(), inbuf.size());
      if (n < 0) return LzmaOutcome::kReadFailed;
      if (n == 0) {
        eof = true;
        if (read_total != size) return LzmaOutcome::kChanged;
      } else {
        read_total += static_cast<uint64_t>(n);
        if (read_total > size) return LzmaOutcome::kChanged;
        hash->Update(std::string_view(reinterpret_cast<const char*>(inbuf.data()),
                                      static_cast<size_t>(n)));
        enc.s.next_in = inbuf.data();
        enc.s.avail_in = static_cast<size_t>(n);
      }
    }
    lzma_ret ret = lzma_code(&enc.s, eof ? LZMA_FINISH : LZMA_RUN);
    if (ret != LZMA_OK && ret != LZMA_STREAM_END) return LzmaOutcome::kCoderFailed;
    size_t produced = outbuf.size() - enc.s.avail_out;
    if (enc.s.avail_out == 0 || ret == LZMA_STREAM_END) {
      *payload += produced;
      if (*payload > size) return LzmaOutcome::kTooLong;
      if (produced > 0 && !out.Write(outbuf.data(), produced)) return LzmaOutcome::kWriteFailed;
      enc.s.next_out = outbuf.data();
      enc.s.avail_out = outbuf.size();
    }
    if (ret == LZMA_STREAM_END) return LzmaOutcome::kOk;
  }
}

// The same with the two-thread encoder. Reads are checked and hashed here as
// above; the encoder only sees bytes.
LzmaOutcome WriteLzmaTwoThreads(fs::InputFile& in, fs::OutputFile& out, uint64_t size,
                                uint64_t* payload, Sha256* hash) {
  lzma_options_lzma opt;
  if (lzma_lzma_preset(&opt, 5)) return LzmaOutcome::kCoderFailed;
  uint64_t read_total = 0;
  bool read_failed = false, changed = false, too_long = false, write_failed = false;
  *payload = 0;
  const EncodeOutcome outcome = EncodeLzmaTwoThreads(
      size, DictionaryFor(size, opt.dict_size),
      [&](uint8_t* buf, size_t cap) -> int64_t {
        const int64_t n = in.Read(buf, cap);
        if (n < 0) {
          read_failed = true;
          return -1;
        }
        read_total += static_cast<uint64_t>(n);
        if ((n == 0 && read_total != size) || read_total > size) {
          changed = true;
          return -1;
        }
        hash->Update(std::string_view(reinterpret_cast<const char*>(buf), static_cast<size_t>(n)));
        return n;
      },
      [&](const uint8_t* data, size_t n) {
        *payload += n;
        if (*payload > size) {
          too_long = true;
          return false;
        }
        if (!out.Write(data, n)) {
          write_failed = true;
          return false;
        }
        return true;
      });
  if (changed) return LzmaOutcome::kChanged;
  if (read_failed) return LzmaOutcome::kReadFailed;
  if (too_long) return LzmaOutcome::kTooLong;
  if (write_failed) return LzmaOutcome::kWriteFailed;
  return outcome == EncodeOutcome::kOk ? LzmaOutcome::kOk : LzmaOutcome::kCoderFailed;
}

// CRC-32 of a whole file, read back from disk.
bool CrcOfFile(const std::string& path, std::vector<uint8_t>& buf, uint32_t* crc,
               uint64_t* length) {
  fs::InputFile in;
  if (!in.Open(path)) return false;
  uint32_t c = 0;
  uint64_t total = 0;
  for (;;) {
    int64_t n = in.Read(buf.data(), buf.size());
    if (n < 0) return false;
    if (n == 0) break;
    c = Crc32(std::string_view(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n)), c);
    total += static_cast<uint64_t>(n);
  }
  *crc = c;
  *length = total;
  return true;
}

// The SHA-256 of what the client's reader unpacks from a packed file; "" when
// it cannot unpack it.
std::string UnpackedHash(const std::string& path, uint64_t size) {
  fs::InputFile in;
  if (!in.Open(path)) return "";
  Sha256 h;
  const UnpackStatus status = UnpackStream(
      [&in](char* buf, size_t cap) { return in.Read(buf, cap); }, size,
      [&h](std::string_view piece) {
        h.Update(piece);
        return true;
      });
  return status == UnpackStatus::kOk ? h.FinishHex() : "";
}

}  // namespace

const char* PackStatusText(PackStatus status) {
  switch (status) {
    case PackStatus::kOk: return "ok";
    case PackStatus::kSourceUnreadable: return "source cannot be read";
    case PackStatus::kSourceTooLarge: return "source too large";
    case PackStatus::kSourceChanged: return "source changed while it was packed";
    case PackStatus::kWriteFailed: return "packed file cannot be written";
    case PackStatus::kCoderFailed: return "LZMA coder failed";
  }
  return "unknown";
}

PackStatus PackFileTo(const std::string& source, const std::string& dest, PackResult* result,
                      const PackOptions& options) {
  PackResult r;
  if (!fs::StatFile(source, &r.source_stamp)) return PackStatus::kSourceUnreadable;
  const int64_t size = r.source_stamp.size;
  r.started_ns = fs::ClockNowNs();
  if (static_cast<double>(size) > kMaxPackedLength) return PackStatus::kSourceTooLarge;
  const auto usize = static_cast<uint64_t>(size);

  fs::InputFile in;
  if (!in.Open(source)) return PackStatus::kSourceUnreadable;
  TempGuard temp{dest + ".part"};
  fs::OutputFile out;
  if (!out.Create(temp.path)) return PackStatus::kWriteFailed;

  std::vector<uint8_t> inbuf(kChunk), outbuf(kChunk);
  char header[kPackedHeaderSize];
  WritePackedHeader({0.0, static_cast<double>(size)}, header);
  if (!out.Write(header, sizeof header)) return PackStatus::kWriteFailed;

  bool stored = true;
  uint64_t payload = 0;
  auto hash = std::make_unique<Sha256>();
  // Below six bytes no LZMA payload (properties plus at least one byte) fits.
  if (usize >= kLzmaPropsSize + 1) {
    const LzmaOutcome outcome =
        usize >= options.two_thread_from
            ? WriteLzmaTwoThreads(in, out, usize, &payload, hash.get())
            : WriteLzma(in, out, usize, inbuf, outbuf, &payload, hash.get());
    switch (outcome) {
      case LzmaOutcome::kOk: stored = false; break;
      case LzmaOutcome::kTooLong: break;
      case LzmaOutcome::kReadFailed: return PackStatus::kSourceUnreadable;
      case LzmaOutcome::kChanged: return PackStatus::kSourceChanged;
      case LzmaOutcome::kWriteFailed: return PackStatus::kWriteFailed;
      case LzmaOutcome::kCoderFailed: return PackStatus::kCoderFailed;
    }
  }
  if (stored) {
    // Start over: header with 0.0, then the content unchanged.
    if (!in.Open(source)) return PackStatus::kSourceUnreadable;
    if (!out.Create(temp.path) || !out.Write(header, sizeof header)) return PackStatus::kWriteFailed;
    hash = std::make_unique<Sha256>();
    uint64_t copied = 0;
    for (;;) {
      int64_t n = in.Read(inbuf.data(), inbuf.size());
      if (n < 0) return PackStatus::kSourceUnreadable;
      if (n == 0) break;
      copied += static_cast<uint64_t>(n);
      if (copied > usize) return PackStatus::kSourceChanged;
      hash->Update(std::string_view(reinterpret_cast<const char*>(inbuf.data()),
                                    static_cast<size_t>(n)));
      if (!out.Write(inbuf.data(), static_cast<size_t>(n))) return PackStatus::kWriteFailed;
    }
    if (copied != usize) return PackStatus::kSourceChanged;
  } else {
    WritePackedHeader({static_cast<double>(payload), static_cast<double>(size)}, header);
    if (!out.WriteAt(0, header, sizeof header)) return PackStatus::kWriteFailed;
  }
  in.Close();
  if (!out.Close()) return PackStatus::kWriteFailed;

  if (!CrcOfFile(temp.path, inbuf, &r.crc, &r.packed_size)) return PackStatus::kWriteFailed;
  if (r.packed_size != kPackedHeaderSize + (stored ? usize : payload)) return PackStatus::kWriteFailed;
  const std::string content_hash = hash->FinishHex();
  // The two-thread encoder is another library's threading: what it wrote is
  // read back as the client will read it before it is published. Should it
  // ever differ, the file is packed again on one thread.
  if (!stored && usize >= options.two_thread_from &&
      UnpackedHash(temp.path, r.packed_size) != content_hash) {
    PackOptions one_thread = options;
    one_thread.two_thread_from = UINT64_MAX;
    return PackFileTo(source, dest, result, one_thread);
  }
  if (!fs::ReplaceWith(temp.path, dest)) return PackStatus::kWriteFailed;
  temp.keep = true;
  r.content_size = usize;
  r.stored = stored;
  r.sha256 = content_hash;
  *result = r;
  return PackStatus::kOk;
}

}  // namespace quasto
