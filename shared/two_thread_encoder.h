// LZMA1 with the match finder on a thread of its own: the LZMA SDK's encoder
// (Debian's 7zip source), for the packer's large files. One file then keeps
// two cores busy, where liblzma's LZMA1 encoder has only one thread. The
// stream is the one liblzma's raw decoder, and so the client, reads.
#ifndef QUASTO_SHARED_TWO_THREAD_ENCODER_H_
#define QUASTO_SHARED_TWO_THREAD_ENCODER_H_

#include <cstddef>
#include <cstdint>
#include <functional>

namespace quasto {

enum class EncodeOutcome { kOk, kReadFailed, kWriteFailed, kCoderFailed };

// Fills up to `cap` bytes; their count, 0 at the end, -1 to fail.
using EncodeReader = std::function<int64_t(uint8_t* buf, size_t cap)>;
// Takes bytes of the payload; false to fail.
using EncodeWriter = std::function<bool(const uint8_t* data, size_t size)>;

// Writes the five property bytes (lc 3, lp 0, pb 2, `dict_size`) and the raw
// stream of `size` bytes of content, without end marker, with the settings
// of liblzma's preset 5: binary tree over four-byte hashes, nice length 32,
// search depth 32. `threads` 1 keeps the match finder on the caller's
// thread (for comparisons); the packer uses 2.
EncodeOutcome EncodeLzmaTwoThreads(uint64_t size, uint32_t dict_size, const EncodeReader& read,
                                   const EncodeWriter& write, int threads = 2);

}  // namespace quasto

#endif  // QUASTO_SHARED_TWO_THREAD_ENCODER_H_
