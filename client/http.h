// One HTTP GET, as the platform performs it: WinINet on Windows, libcurl on
// POSIX. The transport only moves bytes; progress, limits and what a status
// means are the caller's.
#ifndef QUASTO_CLIENT_HTTP_H_
#define QUASTO_CLIENT_HTTP_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quasto::client {

inline constexpr char kUserAgent[] = "Mozilla/4.0 (compatible; QV)";

// WinINet open flags the client passes.
inline constexpr uint32_t kFlagResynchronize = 0x800;
inline constexpr uint32_t kFlagNoCacheDefault = 0x04000100;

struct HttpResponseInfo {
  int status = 0;               // HTTP status of the final response
  int64_t content_length = -2;  // -2: the response had no readable Content-Length
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;

  // Fetches `url`, following redirects. `on_start` is called once the
  // response's headers are known; `on_data` with each piece of the body
  // (at most about `chunk_size` bytes), and may return false to abort.
  // Returns false when the address cannot be reached, the transfer breaks
  // off, or a callback aborted it.
  virtual bool Get(const std::string& url, uint32_t open_flags, int chunk_size,
                   const std::function<void(const HttpResponseInfo&)>& on_start,
                   const std::function<bool(std::string_view)>& on_data) = 0;
};

// The platform's transport.
std::unique_ptr<HttpTransport> NewHttpTransport();

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_HTTP_H_
