#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "client/dead_transfer.h"
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

bool QueryText(HINTERNET request, DWORD what, std::string* out) {
  std::vector<char> buf(2048);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD len = static_cast<DWORD>(buf.size());
    DWORD index = 0;
    if (HttpQueryInfoA(request, what, buf.data(), &len, &index)) {
      out->assign(buf.data(), len < buf.size() ? len : buf.size());
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || len <= buf.size() || len > 65536) break;
    buf.resize(len + 1);
  }
  return false;
}

int64_t QueryNumber(HINTERNET request, DWORD what, int64_t missing) {
  std::string text;
  if (!QueryText(request, what, &text)) return missing;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  return end == text.c_str() ? missing : static_cast<int64_t>(v);
}

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// `location` taken relative to `base`; "" when the result is not an http or
// https address.
std::string Resolve(const std::string& base, const std::string& location) {
  std::vector<char> buf(4096);
  DWORD len = static_cast<DWORD>(buf.size());
  if (!InternetCombineUrlA(base.c_str(), location.c_str(), buf.data(), &len, ICU_NO_ENCODE)) {
    return "";
  }
  std::string url(buf.data(), len);
  auto starts = [&url](const char* scheme) {
    return _strnicmp(url.c_str(), scheme, std::char_traits<char>::length(scheme)) == 0;
  };
  return starts("http://") || starts("https://") ? url : "";
}

// One root handle for the transport's life: WinINet keeps a request's
// connection open when the body was read to its end, and hands it to the
// next request to the same server within the session, so an update of many
// files costs one connection, not one per file.
class WinInetTransport : public HttpTransport {
 public:
  explicit WinInetTransport(const HttpLimits& limits) : limits_(limits) {}

  bool Get(const std::string& url, uint32_t open_flags, int chunk_size,
           const std::function<void(const HttpResponseInfo&)>& on_start,
           const std::function<bool(std::string_view)>& on_data) override {
    if (!root_ && !Open()) return false;
    // Redirects are followed here, not by WinINet, which knows no limit: a
    // redirect to itself would go on for ever.
    const DWORD flags = open_flags | INTERNET_FLAG_NO_AUTO_REDIRECT;
    std::string current = url;
    for (int redirects = 0;; ++redirects) {
      std::unique_ptr<InetHandle> connection;
      std::unique_ptr<InetHandle> request_handle = Send(current, flags, &connection);
      if (!request_handle) return false;
      const InetHandle& request = *request_handle;
      HttpResponseInfo info;
      info.status = static_cast<int>(QueryNumber(request.get(), HTTP_QUERY_STATUS_CODE, 0));
      info.content_length = QueryNumber(request.get(), HTTP_QUERY_CONTENT_LENGTH, -2);
      QueryText(request.get(), HTTP_QUERY_CONTENT_ENCODING, &info.content_encoding);
      std::string location;
      if (IsRedirect(info.status) && QueryText(request.get(), HTTP_QUERY_LOCATION, &location) &&
          !location.empty()) {
        if (redirects >= limits_.max_redirects) return false;
        current = Resolve(current, location);
        if (current.empty()) return false;
        continue;
      }
      on_start(info);
      return ReadBody(request.get(), info, chunk_size, on_data);
    }
  }

 private:
  // Sends a GET for `url`. The server's handle is made for this request, so
  // that the timeouts are set where WinINet takes them for the request's
  // connection (the root handle's are not passed on by every WinINet);
  // connections are still pooled and reused by the session underneath.
  std::unique_ptr<InetHandle> Send(const std::string& url, DWORD flags,
                                   std::unique_ptr<InetHandle>* connection) {
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof(parts);
    char host[1024], path[8192], extra[8192];
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof(host);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof(path);
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = sizeof(extra);
    if (!InternetCrackUrlA(url.c_str(), 0, 0, &parts)) return nullptr;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
      return nullptr;
    }
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    *connection = std::make_unique<InetHandle>(InternetConnectA(
        root_->get(), host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!**connection) return nullptr;
    // Without timeouts a silent server freezes the window for ever. A wait
    // for data as long as the dead-transfer window is dead by that rule too.
    DWORD connect_ms = static_cast<DWORD>(limits_.connect_timeout_seconds) * 1000;
    DWORD receive_ms = static_cast<DWORD>(limits_.dead_seconds) * 1000;
    HINTERNET server = (*connection)->get();
    InternetSetOptionA(server, INTERNET_OPTION_CONNECT_TIMEOUT, &connect_ms, sizeof(connect_ms));
    InternetSetOptionA(server, INTERNET_OPTION_SEND_TIMEOUT, &connect_ms, sizeof(connect_ms));
    InternetSetOptionA(server, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive_ms, sizeof(receive_ms));
    // Given buffers, the parts come back terminated.
    std::string object = path[0] == '\0' ? std::string(1, '/') : std::string(path);
    object += extra;
    auto request = std::make_unique<InetHandle>(HttpOpenRequestA(
        (*connection)->get(), "GET", object.c_str(), nullptr, nullptr, nullptr, flags, 0));
    if (!*request) return nullptr;
    // WinINet decodes no body unless told to; the server is asked for none
    // it would have to.
    const std::string headers = std::string(kAcceptIdentity) + "\r\n";
    if (!HttpSendRequestA(request->get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                          nullptr, 0)) {
      return nullptr;
    }
    return request;
  }

  bool Open() {
    // Tried again on the next request when it fails now.
    root_ = std::make_unique<InetHandle>(
        InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!*root_) {
      root_.reset();
      return false;
    }
    return true;
  }

  // Reads what has arrived, piece by piece, so that a trickle is seen for
  // what it is rather than waited out in one long read.
  bool ReadBody(HINTERNET request, const HttpResponseInfo& info, int chunk_size,
                const std::function<bool(std::string_view)>& on_data) {
    std::vector<char> buf(static_cast<size_t>(chunk_size > 0 ? chunk_size : 65536));
    DeadTransferWatch watch(limits_.dead_bytes_per_second, limits_.dead_seconds);
    watch.Start(DeadTransferWatch::NowMs());
    int64_t total = 0;
    for (;;) {
      DWORD available = 0;
      if (!InternetQueryDataAvailable(request, &available, 0, 0)) return false;
      if (!watch.Alive(DeadTransferWatch::NowMs(), total)) return false;
      DWORD want = available == 0 || available > buf.size() ? static_cast<DWORD>(buf.size())
                                                            : available;
      DWORD got = 0;
      if (!InternetReadFile(request, buf.data(), want, &got)) return false;
      // A connection that ends before the announced length broke off.
      if (got == 0) return info.content_length < 0 || total >= info.content_length;
      total += got;
      if (!on_data(std::string_view(buf.data(), got))) return false;
    }
  }

  HttpLimits limits_;
  std::unique_ptr<InetHandle> root_;
};

}  // namespace

std::unique_ptr<HttpTransport> NewHttpTransport(const HttpLimits& limits) {
  return std::make_unique<WinInetTransport>(limits);
}

}  // namespace quasto::client
