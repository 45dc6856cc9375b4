// Packed files: how every file of an update set travels.
//
//   offset 0  double, little-endian: payload length, 0.0 when stored
//   offset 8  double, little-endian: length of the file's content
//   offset 16 payload: 5 LZMA property bytes + raw LZMA1 stream without end
//             marker, or the content itself when stored
//
// The manifest's CRC is the CRC-32 (ISO-HDLC, as zlib) of the whole packed
// file, header included.
#ifndef QUASTO_SHARED_PACKED_FILE_H_
#define QUASTO_SHARED_PACKED_FILE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "shared/limits.h"

namespace quasto {

inline constexpr size_t kPackedHeaderSize = 16;

// CRC-32, chainable: Crc32(b, Crc32(a)) == Crc32(a + b).
uint32_t Crc32(std::string_view data, uint32_t crc = 0);

// The packed file's name from a file's Name and Path: "{" + Path without
// "\" + "}" (when Path is not empty) + name without extension + "[" +
// extension + "].uzf".
std::string MakePackName(std::string_view name, std::string_view path);

// The whole packed file for `content`: LZMA when the payload is no longer than
// the content, stored otherwise.
std::string PackContent(std::string_view content);

struct PackedHeader {
  double packed_length = 0;    // 0.0: stored
  double unpacked_length = 0;
};
void WritePackedHeader(const PackedHeader& header, char out[kPackedHeaderSize]);

enum class UnpackStatus {
  kOk,
  kShortHeader,    // fewer than 16 bytes
  kBadHeader,      // a length that is negative, not whole, not finite or too big
  kTruncated,      // fewer payload bytes than the header says
  kBadProperties,  // LZMA properties invalid, or the dictionary is too big
  kCorrupt,        // the LZMA stream is damaged or yields another length
  kSinkFailed,     // the receiver of the content refused it
  kNoMemory,
  kReadFailed,     // the packed file could not be read
  kOtherLength,    // the header's content length is not the one expected
};
const char* UnpackStatusText(UnpackStatus status);

// Reads and checks the header alone.
UnpackStatus ReadPackedHeader(std::string_view packed, PackedHeader* header);

// Unpacks the content in pieces of at most 64 KiB, handing each to `sink`,
// which returns false to stop. Never trusts the header: memory use is bounded
// by the piece size and the dictionary, not by the lengths it states.
UnpackStatus UnpackContent(std::string_view packed,
                           const std::function<bool(std::string_view)>& sink);
// The same, reading the packed file from `read` (which fills up to `cap`
// bytes and returns their count, 0 at the end, -1 on failure), whose whole
// length is `total_size`. Used to unpack a downloaded file without holding it.
// With `expected_length` not negative, a header that states another content
// length is refused before anything is unpacked: the manifest's Size, which
// a packed file that declares 200 MB in 30 KB must not outgrow.
using PackedReader = std::function<int64_t(char* buf, size_t cap)>;
UnpackStatus UnpackStream(const PackedReader& read, uint64_t total_size,
                          const std::function<bool(std::string_view)>& sink,
                          int64_t expected_length = -1);
// The same, collecting the content in `out` (cleared first).
UnpackStatus UnpackContent(std::string_view packed, std::string* out);

}  // namespace quasto

#endif  // QUASTO_SHARED_PACKED_FILE_H_
