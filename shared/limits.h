// Every bound the programs put on what the network and the files they read
// may make them do: how much memory, disk and time. Tests and the README
// quote these names.
#ifndef QUASTO_SHARED_LIMITS_H_
#define QUASTO_SHARED_LIMITS_H_

#include <cstddef>
#include <cstdint>

namespace quasto {

// The manifest is read into memory whole. Real ones are well below a
// megabyte for thousands of files; a larger one is refused like an address
// that does not answer ("ErrorURL"), so an endless one cannot exhaust memory.
inline constexpr int64_t kMaxManifestBytes = int64_t{64} << 20;
// The other documents (project, client configuration, FTP settings) are one
// small record each.
inline constexpr int64_t kMaxRecordBytes = int64_t{1} << 20;
// Documents are two levels deep; members a later writer may add can nest a
// little deeper, but not without end.
inline constexpr int kMaxDocumentDepth = 32;
// Its signature is a few hundred bytes.
inline constexpr int64_t kMaxSignatureBytes = 64 << 10;

// A packed file is never longer than its content plus the 16-byte header:
// stored content is exactly that long, and LZMA is used only when it is
// shorter. A download that goes on past that is stopped.
inline constexpr int64_t kPackedOverhead = 16;

// Packed bytes that may wait between the download of the next files and the
// unpacking of the ones before: enough that neither waits for the other's
// short stalls, little enough that memory stays flat.
inline constexpr size_t kFetchQueueBytes = size_t{4} << 20;

// Largest LZMA dictionary a packed file may ask for. Our packer uses at most
// 16 MiB; the decoder never reserves more than the content's length anyway.
inline constexpr uint32_t kMaxDictionary = 64u << 20;
// Lengths in a packed file's header must fit the manifest's signed 32-bit Size.
inline constexpr double kMaxPackedLength = 2147483647.0;

// A transfer is practically dead, and ends, when less than
// kDeadTransferBytesPerSecond arrived on average over the last
// kDeadTransferSeconds (under 60 KiB in a minute: a trickle, or a server
// that went silent). A slow modem still moves several KiB a second.
inline constexpr int64_t kDeadTransferBytesPerSecond = 1024;
inline constexpr int kDeadTransferSeconds = 60;
// Time to set up a connection, and to send a request.
inline constexpr int kConnectTimeoutSeconds = 60;
// Redirects followed for one request, as curl's default; a loop ends there.
inline constexpr int kMaxRedirects = 10;
// --wait-seconds: a scheduled run waits for the program at most a day; a
// longer wait is a mistyped number, not a plan.
inline constexpr int kMaxWaitSeconds = 86400;
// How often a packed file's transfer that breaks off is taken up again
// where it broke before the file fails; each time must bring more bytes.
inline constexpr int kTransferResumes = 3;
// A transfer of at least this many bytes is worth taking up again in a
// later run: its partial download and, once checked, its staged file are
// recorded in the staging journal (one flushed write each). Smaller files
// are fetched again; recording each would cost more than it saves.
inline constexpr int64_t kResumableFrom = int64_t{1} << 20;

// An FTP server's reply (its greeting, or the answer to a command) must
// arrive whole within kFtpReplySeconds, and one of several lines is at most
// kMaxFtpReplyBytes: a server that trickles, falls silent or never ends its
// reply ends the upload as a failure after about a minute, never holds it.
inline constexpr int kFtpReplySeconds = kDeadTransferSeconds;
inline constexpr int64_t kMaxFtpReplyBytes = 64 << 10;

// The builder's own documents. Real ones hold a few kilobytes: the settings
// store "Quastorell.reg" and the layout file "Quastorell.win" (XML), the
// project, client configuration and FTP settings (JSON records). A larger
// one, or an XML document nested deeper than kMaxXmlDepth, is damaged: it is
// never read into memory whole, and a deep one is never walked by recursion.
// The builder nests at most four levels; its writer takes any depth without
// recursion too. A project's manifest is bounded by kMaxManifestBytes, as
// the client's is.
inline constexpr int64_t kMaxSettingsBytes = int64_t{4} << 20;
inline constexpr int kMaxXmlDepth = 64;
// (JSON records: kMaxRecordBytes and kMaxDocumentDepth above.)

// The builder's scan of a source folder. Links that stay inside are followed
// and a link back to a folder being scanned is refused as a loop, but links
// between folders can still multiply what is seen (two links to the next
// level on each of 20 levels name a million paths): the scan stops there and
// counts as failed. Far more than any released program holds.
inline constexpr int64_t kMaxScanEntries = 1000000;
// Folders below the source folder, the ones reached through links included.
// A deeper one cannot be scanned, which is an error of the scan.
inline constexpr int kMaxScanDepth = 64;

// A file's Size in the manifest is a signed 32-bit number: 2 GiB and more
// cannot be described, so such a file is never published.
inline constexpr int64_t kMaxPublishedFileSize = int64_t{2147483647};
// Packed files lie side by side in the update set, named after the source
// file's whole path; file systems and FTP servers allow 255 bytes for a name.
inline constexpr size_t kMaxPackNameBytes = 255;

// Patches. Each of a patch's streams is decoded with a dictionary of at most
// kMaxPatchDictionary (LZMA; a bzip2 stream needs under 4 MiB), and all of
// them together with at most three times that (a bzip2 stream counting as
// 4 MiB), so the applier's coders, buffers included, stay below
// kMaxPatchApplyMemory
// whatever the files' sizes: the 32-bit client applies patches to large
// files. A patch asking for more is refused before anything is written.
inline constexpr uint32_t kMaxPatchDictionary = 8u << 20;
inline constexpr uint64_t kMaxPatchApplyMemory = uint64_t{32} << 20;
// The encoder compares at most this many bytes per match candidate, so that
// long runs of equal bytes (zero padding) cannot make it quadratic; a longer
// match simply continues with the next candidate.
inline constexpr int64_t kPatchMatchCap = 64 << 10;
// The encoder holds the base, its suffix array and the result: about five
// times the base (about ten for bases of up to 16 MiB, whose index also keeps
// a few bytes of each suffix). The 32-bit builder cannot have that for larger
// files, so files above this size (before or after) always travel whole.
inline constexpr uint64_t kMaxPatchContentSize = uint64_t{250} << 20;

}  // namespace quasto

#endif  // QUASTO_SHARED_LIMITS_H_
