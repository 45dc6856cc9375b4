// Binary patches: a changed file travels as the difference from the content
// the user already has (the base). docs/patch-format.md describes the bytes.
//
// The encoder matches the result against a suffix array of the base and
// writes control triples, byte-wise differences over approximate matches,
// and new bytes. The differences are mostly zeros: they travel as the
// lengths of their zero runs and the bytes between them. Each stream is
// compressed with whichever coder makes it smallest.
//
// The applier streams: it reads the base by offset, writes the result in
// order, and its memory is bounded by a constant (kMaxPatchApplyMemory)
// whatever the sizes, since the 32-bit client must apply patches to large
// files. A patch never makes it write more than the declared result length
// nor read outside the base; the result's SHA-256 is checked before success
// is reported.
#ifndef QUASTO_SHARED_PATCH_H_
#define QUASTO_SHARED_PATCH_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quasto {

// The current version's header; the first version's is shorter.
inline constexpr size_t kPatchHeaderSize = 192;
inline constexpr size_t kPatchHeaderSizeV1 = 168;
// Control, difference, new bytes, and the difference's zero runs (empty in
// the first version and when the runs travel in the difference stream).
inline constexpr int kPatchStreams = 4;

enum class PatchMethod : uint8_t { kStored = 0, kLzma = 1, kBzip2 = 2 };

struct PatchStreamInfo {
  PatchMethod method = PatchMethod::kStored;
  uint8_t lzma_props = 0;  // (pb * 5 + lp) * 9 + lc
  uint32_t dict_size = 0;
  uint64_t packed_length = 0;
  uint64_t raw_length = 0;
};

struct PatchHeader {
  uint32_t version = 0;
  bool inline_runs = false;  // the runs precede their bytes in the difference stream
  uint64_t base_length = 0;
  uint64_t result_length = 0;
  std::string base_sha256;    // lower-case hex
  std::string result_sha256;  // lower-case hex
  PatchStreamInfo streams[kPatchStreams];
};

enum class PatchStatus {
  kOk,
  kShortHeader,   // fewer bytes than a header
  kBadHeader,     // not a patch, another version, or values out of range
  kOtherBase,     // made for a base of another length
  kOtherLength,   // the result's length is not the one expected
  kCorrupt,       // a stream is damaged or asks for bytes outside its bounds
  kOtherResult,   // the result's SHA-256 is not the header's
  kReadFailed,    // the base or the patch could not be read
  kSinkFailed,    // the receiver of the result refused it
  kNoMemory,
};
const char* PatchStatusText(PatchStatus status);

// Reads and checks the header alone (`header_bytes` holds at least its
// version's header); `patch_size` is the whole patch's length, which the
// header and the streams' lengths must add up to.
PatchStatus ReadPatchHeader(std::string_view header_bytes, uint64_t patch_size,
                            PatchHeader* header);

// Makes the patch from `base` to `result`. Deterministic: the same inputs give
// the same bytes. False when the base is too large for the suffix array or
// memory runs out.
bool MakePatch(std::string_view base, std::string_view result, std::string* patch);

// Fills up to `cap` bytes from `offset`; returns their count (0 past the
// end), or -1 on failure.
using PatchSource = std::function<int64_t(uint64_t offset, char* buf, size_t cap)>;

// Applies the patch read from `patch` (`patch_size` bytes long) to the base
// read from `base` (`base_size` bytes long), handing the result to `sink` in
// order, in pieces of at most 64 KiB. With `expected_length` not negative, a
// patch that declares another result length is refused before anything is
// written. The caller checks that the base is the header's (by its SHA-256);
// the result is checked here, so kOk means the sink received exactly the
// content the header names.
// `coder_memory`, when given, receives the most memory the stream coders held
// at once.
PatchStatus ApplyPatch(const PatchSource& base, uint64_t base_size, const PatchSource& patch,
                       uint64_t patch_size, const std::function<bool(std::string_view)>& sink,
                       int64_t expected_length = -1, uint64_t* coder_memory = nullptr);

// The same between files; the result file is written only as far as it got
// when the patch fails (the caller removes it).
PatchStatus ApplyPatchFile(const std::string& base_path, const std::string& patch_path,
                           const std::string& result_path, int64_t expected_length = -1);

}  // namespace quasto

#endif  // QUASTO_SHARED_PATCH_H_
