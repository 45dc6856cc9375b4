#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "client/http.h"

namespace quasto::client {
namespace {

// Owns a WinINet handle.
class InetHandle {
 public:
  explicit InetHandle(HINTERNET h) : h_(h) {}
  ~InetHandle() {
    if (h_) InternetCloseHandle(h_);
  }
  InetHandle(const InetHandle&) = delete;
  InetHandle& operator=(const InetHandle&) = delete;
  HINTERNET get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HINTERNET h_;
};

int64_t QueryNumber(HINTERNET request, DWORD what, int64_t missing) {
  char buf[2048];
  DWORD len = sizeof(buf);
  DWORD index = 0;
  if (!HttpQueryInfoA(request, what, buf, &len, &index)) return missing;
  buf[len < sizeof(buf) ? len : sizeof(buf) - 1] = '\0';
  char* end = nullptr;
  long long v = std::strtoll(buf, &end, 10);
  return end == buf ? missing : static_cast<int64_t>(v);
}

// One root handle for the transport's life: WinINet keeps a request's
// connection open when the body was read to its end, and hands it to the
// next request to the same server within the session, so an update of many
// files costs one connection, not one per file.
class WinInetTransport : public HttpTransport {
 public:
  bool Get(const std::string& url, uint32_t open_flags, int chunk_size,
           const std::function<void(const HttpResponseInfo&)>& on_start,
           const std::function<bool(std::string_view)>& on_data) override {
    if (!root_) {
      // Tried again on the next request when it fails now.
      root_ = std::make_unique<InetHandle>(
          InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
      if (!*root_) {
        root_.reset();
        return false;
      }
    }
    InetHandle request(
        InternetOpenUrlA(root_->get(), url.c_str(), nullptr, 0, open_flags, 0));
    if (!request) return false;
    HttpResponseInfo info;
    info.status = static_cast<int>(QueryNumber(request.get(), HTTP_QUERY_STATUS_CODE, 0));
    info.content_length = QueryNumber(request.get(), HTTP_QUERY_CONTENT_LENGTH, -2);
    on_start(info);
    std::vector<char> buf(static_cast<size_t>(chunk_size > 0 ? chunk_size : 65536));
    int64_t total = 0;
    for (;;) {
      DWORD got = 0;
      if (!InternetReadFile(request.get(), buf.data(), static_cast<DWORD>(buf.size()), &got)) {
        return false;
      }
      // A connection that ends before the announced length broke off.
      if (got == 0) return info.content_length < 0 || total >= info.content_length;
      total += got;
      if (!on_data(std::string_view(buf.data(), got))) return false;
    }
  }

 private:
  std::unique_ptr<InetHandle> root_;
};

}  // namespace

std::unique_ptr<HttpTransport> NewHttpTransport() {
  return std::make_unique<WinInetTransport>();
}

}  // namespace quasto::client
