#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// One GET made with blocking WinINet calls, on whatever thread runs it.
// It keeps nothing of the transport's but the session handle it shares, so
// that it can outlive the transport when abandoned.
class Fetcher {
 public:
  Fetcher(std::shared_ptr<InetHandle> root, const HttpLimits& limits)
      : root_(std::move(root)), limits_(limits) {}

  // `extra_headers`: lines to send besides the usual ones, each ending in CRLF.
  bool Get(const std::string& url, uint32_t open_flags, int chunk_size,
           const std::string& extra_headers,
           const std::function<void(const HttpResponseInfo&)>& on_start,
           const std::function<bool(std::string_view)>& on_data) {
    // Redirects are followed here, not by WinINet, which knows no limit: a
    // redirect to itself would go on for ever.
    const DWORD flags = open_flags | INTERNET_FLAG_NO_AUTO_REDIRECT;
    std::string current = url;
    for (int redirects = 0;; ++redirects) {
      std::unique_ptr<InetHandle> connection;
      std::unique_ptr<InetHandle> request_handle =
          Send(current, flags, extra_headers, &connection);
      if (!request_handle) return false;
      const InetHandle& request = *request_handle;
      HttpResponseInfo info;
      info.status = static_cast<int>(QueryNumber(request.get(), HTTP_QUERY_STATUS_CODE, 0));
      info.content_length = QueryNumber(request.get(), HTTP_QUERY_CONTENT_LENGTH, -2);
      QueryText(request.get(), HTTP_QUERY_CONTENT_ENCODING, &info.content_encoding);
      std::string etag, last_modified, content_range;
      QueryText(request.get(), HTTP_QUERY_ETAG, &etag);
      QueryText(request.get(), HTTP_QUERY_LAST_MODIFIED, &last_modified);
      QueryText(request.get(), HTTP_QUERY_CONTENT_RANGE, &content_range);
      info.validator = ValidatorOf(etag, last_modified);
      info.range_start = RangeStartOf(content_range);
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
                                   const std::string& extra_headers,
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
    const std::string headers = std::string(kAcceptIdentity) + "\r\n" + extra_headers;
    if (!HttpSendRequestA(request->get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                          nullptr, 0)) {
      return nullptr;
    }
    return request;
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

  std::shared_ptr<InetHandle> root_;
  const HttpLimits limits_;
};
// What the caller of a GET and the thread making its WinINet calls share. A
// blocking WinINet call cannot be broken off from outside (closing its
// handles does not end a wait under every WinINet), so the caller never
// makes one: it waits here, takes the response and each piece as they are
// handed over, and may leave at any time. The thread then finds itself
// abandoned and ends on its own once WinINet lets it go.
struct Exchange {
  std::mutex mu;
  std::condition_variable changed;
  bool has_start = false;
  HttpResponseInfo info;
  bool has_piece = false;
  std::string_view piece;  // the thread's buffer, valid while has_piece
  bool keep_going = true;  // the caller's answer to the last piece
  bool done = false;
  bool ok = false;
  bool abandoned = false;
};

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
    return Run(url, open_flags, chunk_size, "", on_start, on_data);
  }

  bool GetFrom(const std::string& url, uint32_t open_flags, int chunk_size, int64_t from,
               const std::string& if_range,
               const std::function<void(const HttpResponseInfo&)>& on_start,
               const std::function<bool(std::string_view)>& on_data) override {
    // A validator with a line break would add a header of its own.
    if (from <= 0 || if_range.empty() || if_range.find_first_of("\r\n") != std::string::npos) {
      return false;
    }
    return Run(url, open_flags, chunk_size,
               "Range: bytes=" + std::to_string(from) + "-\r\nIf-Range: " + if_range + "\r\n",
               on_start, on_data);
  }

 private:
  bool Run(const std::string& url, uint32_t open_flags, int chunk_size,
           const std::string& extra_headers,
           const std::function<void(const HttpResponseInfo&)>& on_start,
           const std::function<bool(std::string_view)>& on_data) {
    if (Aborted()) return false;
    if (!root_ && !Open()) return false;
    auto x = std::make_shared<Exchange>();
    {
      std::lock_guard<std::mutex> lock(current_mu_);
      current_ = x;
    }
    std::thread io([x, root = root_, limits = limits_, url, open_flags, chunk_size,
                    extra_headers] {
      Fetcher fetcher(root, limits);
      const bool ok = fetcher.Get(
          url, open_flags, chunk_size, extra_headers,
          [&x](const HttpResponseInfo& info) {
            std::unique_lock<std::mutex> lock(x->mu);
            x->info = info;
            x->has_start = true;
            x->changed.notify_all();
            x->changed.wait(lock, [&] { return !x->has_start || x->abandoned; });
          },
          [&x](std::string_view piece) {
            std::unique_lock<std::mutex> lock(x->mu);
            x->piece = piece;
            x->has_piece = true;
            x->changed.notify_all();
            x->changed.wait(lock, [&] { return !x->has_piece || x->abandoned; });
            return x->keep_going && !x->abandoned;
          });
      std::lock_guard<std::mutex> lock(x->mu);
      x->ok = ok;
      x->done = true;
      x->changed.notify_all();
    });

    // The dead-transfer rule is kept here too, over the whole request: a
    // WinINet wait that outlasts its timeouts still ends the transfer on time.
    DeadTransferWatch watch(limits_.dead_bytes_per_second, limits_.dead_seconds);
    watch.Start(DeadTransferWatch::NowMs());
    int64_t total = 0;
    int64_t announced = -1;
    bool ok = false;
    std::unique_lock<std::mutex> lock(x->mu);
    for (;;) {
      x->changed.wait_for(lock, std::chrono::milliseconds(kPollMs), [&] {
        return x->has_start || x->has_piece || x->done || Aborted();
      });
      if (x->done) {
        ok = x->ok;
        break;
      }
      if (Aborted() || !watch.Alive(DeadTransferWatch::NowMs(), total)) {
        x->abandoned = true;
        x->changed.notify_all();
        break;
      }
      // The callbacks run on this thread, without the lock.
      if (x->has_start) {
        const HttpResponseInfo info = x->info;
        announced = info.content_length;
        lock.unlock();
        on_start(info);
        lock.lock();
        x->has_start = false;
        x->changed.notify_all();
      } else if (x->has_piece) {
        const std::string_view piece = x->piece;
        lock.unlock();
        const bool keep_going = on_data(piece);
        lock.lock();
        total += static_cast<int64_t>(piece.size());
        x->keep_going = keep_going;
        x->has_piece = false;
        x->changed.notify_all();
        // Some WinINets read the rest of an announced body when its request
        // is closed, to keep the connection: for a large rest (a manifest
        // announcing 100 MiB, a file the disk refused) that would hold the
        // run up for as long as the server sends. A small rest is read, and
        // the connection serves the next request.
        if (!keep_going && (announced < 0 || announced - total > kDrainLimit)) {
          x->abandoned = true;
          break;
        }
      }
    }
    const bool abandoned = x->abandoned;
    lock.unlock();
    if (abandoned) {
      io.detach();
    } else {
      io.join();
    }
    std::lock_guard<std::mutex> current_lock(current_mu_);
    current_.reset();
    return ok;
  }


 public:
  void SetAbortFlag(const std::atomic<bool>* flag) override { abort_ = flag; }

  // The waiting caller looks at the flag at once, not at its next poll.
  void Interrupt() override {
    std::shared_ptr<Exchange> x;
    {
      std::lock_guard<std::mutex> lock(current_mu_);
      x = current_;
    }
    if (x) {
      std::lock_guard<std::mutex> lock(x->mu);
      x->changed.notify_all();
    }
  }

 private:
  // How often a waiting caller looks at the abort flag and the clock.
  static constexpr int kPollMs = 50;
  // The most of an announced body left unread that a stopped transfer still
  // waits for.
  static constexpr int64_t kDrainLimit = 256 * 1024;

  bool Aborted() const { return abort_ != nullptr && abort_->load(); }

  bool Open() {
    // Tried again on the next request when it fails now.
    auto root = std::make_shared<InetHandle>(
        InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!*root) return false;
    root_ = std::move(root);
    return true;
  }

  HttpLimits limits_;
  const std::atomic<bool>* abort_ = nullptr;
  std::shared_ptr<InetHandle> root_;
  std::mutex current_mu_;
  std::shared_ptr<Exchange> current_;
};
}  // namespace

std::unique_ptr<HttpTransport> NewHttpTransport(const HttpLimits& limits) {
  return std::make_unique<WinInetTransport>(limits);
}

}  // namespace quasto::client
