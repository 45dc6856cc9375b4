// Packing a file on disk into a packed file on disk, streaming: memory use is
// bounded by two small buffers and the LZMA encoder's own state, whatever the
// file's size. The packed file has the form PackContent makes (LZMA when the
// payload is no longer than the content, else stored), and for content below
// kTwoThreadEncoderFrom exactly its bytes.
//
// The packer keeps no state between calls, so files may be packed on several
// threads at once.
#ifndef QUASTO_SHARED_PACKER_H_
#define QUASTO_SHARED_PACKER_H_

#include <cstdint>
#include <string>

#include "shared/fs.h"

namespace quasto {

struct PackResult {
  uint32_t crc = 0;            // CRC-32 of the whole packed file
  uint64_t content_size = 0;   // bytes read from the source
  uint64_t packed_size = 0;    // bytes of the packed file, header included
  bool stored = false;         // payload is the content itself
  std::string sha256;          // SHA-256 of the content packed, lower-case hex
  fs::FileStamp source_stamp;  // the source's stamp before it was read
  int64_t started_ns = 0;      // fs::ClockNowNs() before the first byte was read
};

enum class PackStatus {
  kOk,
  kSourceUnreadable,  // missing, a folder, or a read error
  kSourceTooLarge,    // longer than a packed file can describe
  kSourceChanged,     // the file's length changed while it was read
  kWriteFailed,       // the packed file could not be written
  kCoderFailed,
};
const char* PackStatusText(PackStatus status);

// Content at least this long is encoded by the two-thread encoder
// (two_thread_encoder.h): one large file alone then keeps two cores busy.
// Below it, liblzma's encoder starts faster and writes the same payload as
// PackContent. The choice depends on the content's length alone, so a file
// packs to the same bytes whatever else is packed beside it.
inline constexpr uint64_t kTwoThreadEncoderFrom = uint64_t{16} << 20;

struct PackOptions {
  uint64_t two_thread_from = kTwoThreadEncoderFrom;
};

// Packs `source` into `dest`. The packed file is written beside `dest` under a
// temporary name and moved over `dest` only when complete, so a failure never
// destroys an older packed file of that name.
PackStatus PackFileTo(const std::string& source, const std::string& dest, PackResult* result,
                      const PackOptions& options = {});

}  // namespace quasto

#endif  // QUASTO_SHARED_PACKER_H_
