// One HTTP GET, as the platform performs it: WinINet on Windows, libcurl on
// POSIX. The transport only moves bytes; progress, limits and what a status
// means are the caller's.
#ifndef QUASTO_CLIENT_HTTP_H_
#define QUASTO_CLIENT_HTTP_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "shared/limits.h"

namespace quasto::client {

inline constexpr char kUserAgent[] = "Mozilla/4.0 (compatible; QV)";

// WinINet open flags the client passes.
inline constexpr uint32_t kFlagResynchronize = 0x800;
inline constexpr uint32_t kFlagNoCacheDefault = 0x04000100;
// Keeps a download out of WinINet's cache in the user's profile: a packed
// file is written to its place once, and a second copy of a large one only
// fills the disk.
inline constexpr uint32_t kFlagNoCacheWrite = 0x04000000;

// Every request asks for the body as it lies on the server: a transport
// never decodes one.
inline constexpr char kAcceptIdentity[] = "Accept-Encoding: identity";

struct HttpResponseInfo {
  int status = 0;               // HTTP status of the final response
  int64_t content_length = -2;  // -2: the response had no readable Content-Length
  // The response's Content-Encoding as sent ("" without one); a body in
  // any other than "identity" is not the file.
  std::string content_encoding;
  // What names this version of the body for a later range request: the
  // response's ETag (a strong one), else its Last-Modified; "" without.
  std::string validator;
  // The first byte of the body within the file, from a 206's Content-Range;
  // -1 without one.
  int64_t range_start = -1;
};

// What ends a request that cannot come to a result. Both transports apply
// the same figures; tests shorten them.
struct HttpLimits {
  // A transfer (headers or body) that moves less than this on average over
  // the last `dead_seconds` is dead and ends as a failure.
  int64_t dead_bytes_per_second = kDeadTransferBytesPerSecond;
  int dead_seconds = kDeadTransferSeconds;
  int connect_timeout_seconds = kConnectTimeoutSeconds;
  // Redirects followed for one request; one more ends it as a failure.
  int max_redirects = kMaxRedirects;
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;

  // Fetches `url`, following at most HttpLimits::max_redirects redirects
  // (http and https only). `on_start` is called once the
  // response's headers are known; `on_data` with each piece of the body
  // (at most about `chunk_size` bytes), and may return false to abort.
  // Returns false when the address cannot be reached, the transfer breaks
  // off or is dead, redirects go on too long, or a callback aborted it. A
  // redirect without a Location is the final response, with its 3xx status.
  virtual bool Get(const std::string& url, uint32_t open_flags, int chunk_size,
                   const std::function<void(const HttpResponseInfo&)>& on_start,
                   const std::function<bool(std::string_view)>& on_data) = 0;
  // The same GET for the body from byte `from` on, as long as it is still
  // the version `if_range` names (Range and If-Range): the server answers 206
  // with the rest, or 200 with the whole body when it has changed or serves
  // no ranges. A transport that cannot ask so returns false without a
  // request.
  virtual bool GetFrom(const std::string& /*url*/, uint32_t /*open_flags*/, int /*chunk_size*/,
                       int64_t /*from*/, const std::string& /*if_range*/,
                       const std::function<void(const HttpResponseInfo&)>& /*on_start*/,
                       const std::function<bool(std::string_view)>& /*on_data*/) {
    return false;
  }
  // A flag that, once set (from any thread), ends the transfer in progress
  // and every later one as failures, within about a second even while the
  // server sends nothing. nullptr: none. A transport that cannot be stopped
  // so ignores it; its transfers still end by the dead-transfer rule.
  virtual void SetAbortFlag(const std::atomic<bool>* /*flag*/) {}
  // Called from another thread once that flag is set: ends a transfer that
  // waits for the server at once, rather than at the next check.
  virtual void Interrupt() {}
};

// The validator of a response from its ETag and Last-Modified headers: a
// weak ETag cannot validate a range, so Last-Modified stands in for it.
inline std::string ValidatorOf(std::string_view etag, std::string_view last_modified) {
  if (!etag.empty() && etag.substr(0, 2) != "W/") return std::string(etag);
  return std::string(last_modified);
}

// The first byte of a Content-Range "bytes FIRST-LAST/LENGTH"; -1 when it
// is not one.
inline int64_t RangeStartOf(std::string_view content_range) {
  constexpr std::string_view kUnit = "bytes ";
  if (content_range.substr(0, kUnit.size()) != kUnit) return -1;
  content_range.remove_prefix(kUnit.size());
  int64_t first = 0;
  size_t digits = 0;
  for (char c : content_range) {
    if (c < '0' || c > '9') break;
    if (first > (INT64_MAX - 9) / 10) return -1;
    first = first * 10 + (c - '0');
    ++digits;
  }
  return digits > 0 && digits < content_range.size() && content_range[digits] == '-' ? first : -1;
}

// The platform's transport.
std::unique_ptr<HttpTransport> NewHttpTransport(const HttpLimits& limits = HttpLimits());

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_HTTP_H_
