#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string>
#include <vector>

#include "client/dead_transfer.h"
#include "client/http.h"

namespace quasto::client {
namespace {

struct Transfer {
  const std::function<void(const HttpResponseInfo&)>* on_start;
  const std::function<bool(std::string_view)>* on_data;
  CURL* curl;
  DeadTransferWatch* watch;
  const std::atomic<bool>* abort;
  bool started = false;
  bool aborted = false;
  // Of the response whose headers came last.
  std::string content_encoding;
  std::string etag;
  std::string last_modified;
  std::string content_range;
};

// Keeps the Content-Encoding of the final response: each response of a
// redirect chain starts with its status line.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  std::string_view line(data, n);
  if (line.substr(0, 5) == "HTTP/") {
    t->content_encoding.clear();
    t->etag.clear();
    t->last_modified.clear();
    t->content_range.clear();
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return n;
  std::string name(line.substr(0, colon));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ' ||
                            value.back() == '\t')) {
    value.remove_suffix(1);
  }
  if (name == "content-encoding") {
    t->content_encoding = std::string(value);
  } else if (name == "etag") {
    t->etag = std::string(value);
  } else if (name == "last-modified") {
    t->last_modified = std::string(value);
  } else if (name == "content-range") {
    t->content_range = std::string(value);
  }
  return n;
}

// Called by curl about once a second even while nothing arrives, so a silent
// server is noticed as surely as a trickling one.
int OnProgress(void* user, curl_off_t /*dltotal*/, curl_off_t dlnow, curl_off_t /*ultotal*/,
               curl_off_t /*ulnow*/) {
  auto* t = static_cast<Transfer*>(user);
  if (t->abort != nullptr && t->abort->load()) return 1;
  return t->watch->Alive(DeadTransferWatch::NowMs(), static_cast<int64_t>(dlnow)) ? 0 : 1;
}

void Start(Transfer* t) {
  if (t->started) return;
  t->started = true;
  HttpResponseInfo info;
  long status = 0;
  curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
  info.status = static_cast<int>(status);
  curl_off_t length = -1;
  if (curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
      length >= 0) {
    info.content_length = static_cast<int64_t>(length);
  }
  info.content_encoding = t->content_encoding;
  info.validator = ValidatorOf(t->etag, t->last_modified);
  info.range_start = RangeStartOf(t->content_range);
  (*t->on_start)(info);
}

size_t OnWrite(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  Start(t);
  const size_t n = size * count;
  if ((t->abort != nullptr && t->abort->load()) || !(*t->on_data)(std::string_view(data, n))) {
    t->aborted = true;
    return 0;  // makes curl stop with CURLE_WRITE_ERROR
  }
  return n;
}

// One easy handle for the transport's life: libcurl keeps the connection of
// each request open and takes it again for the next one to the same server,
// so an update of many files costs one connection, not one per file.
class CurlTransport : public HttpTransport {
 public:
  explicit CurlTransport(const HttpLimits& limits) : limits_(limits) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  }
  ~CurlTransport() override {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);
    if (headers_ != nullptr) curl_slist_free_all(headers_);
  }
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  bool Get(const std::string& url, uint32_t /*open_flags: WinINet cache control*/,
           int chunk_size, const std::function<void(const HttpResponseInfo&)>& on_start,
           const std::function<bool(std::string_view)>& on_data) override {
    return Perform(url, chunk_size, 0, "", on_start, on_data);
  }

  bool GetFrom(const std::string& url, uint32_t /*open_flags*/, int chunk_size, int64_t from,
               const std::string& if_range,
               const std::function<void(const HttpResponseInfo&)>& on_start,
               const std::function<bool(std::string_view)>& on_data) override {
    if (from <= 0 || if_range.empty()) return false;
    return Perform(url, chunk_size, from, if_range, on_start, on_data);
  }

  void SetAbortFlag(const std::atomic<bool>* flag) override { abort_ = flag; }

  // Its sockets are shut down: a receive that waits returns at once, and
  // the abort flag keeps the transfer from going on.
  void Interrupt() override {
    std::lock_guard<std::mutex> lock(sockets_mu_);
    for (curl_socket_t s : sockets_) shutdown(s, SHUT_RDWR);
  }

 private:
  // One request; from > 0 asks for the rest from there, if still `if_range`.
  bool Perform(const std::string& url, int chunk_size, int64_t from, const std::string& if_range,
               const std::function<void(const HttpResponseInfo&)>& on_start,
               const std::function<bool(std::string_view)>& on_data) {
    if (curl_ == nullptr && !Open()) return false;
    // The one handle serves one request at a time; a request made from
    // within another's callbacks would change the options of the one in
    // progress under its feet.
    if (busy_) return false;
    if (abort_ != nullptr && abort_->load()) return false;
    busy_ = true;
    DeadTransferWatch watch(limits_.dead_bytes_per_second, limits_.dead_seconds);
    watch.Start(DeadTransferWatch::NowMs());
    Transfer t{&on_start, &on_data, curl_, &watch, abort_, false, false, {}, {}, {}, {}};
    curl_slist* range_headers = nullptr;
    if (from > 0) {
      // The range and its condition hold for this request only.
      range_headers = curl_slist_append(nullptr, kAcceptIdentity);
      const std::string condition = "If-Range: " + if_range;
      if (range_headers != nullptr) {
        curl_slist* more = curl_slist_append(range_headers, condition.c_str());
        if (more == nullptr) {
          curl_slist_free_all(range_headers);
          range_headers = nullptr;
        }
      }
      if (range_headers == nullptr) {
        busy_ = false;
        return false;
      }
      curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, range_headers);
      curl_easy_setopt(curl_, CURLOPT_RANGE, (std::to_string(from) + "-").c_str());
    }
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_BUFFERSIZE, static_cast<long>(chunk_size));
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &t);
    CURLcode rc = curl_easy_perform(curl_);
    if (rc == CURLE_OK) Start(&t);  // an empty body still has headers
    // No pointer into this call's frame outlives it.
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, nullptr);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, nullptr);
    if (range_headers != nullptr) {
      curl_easy_setopt(curl_, CURLOPT_RANGE, nullptr);
      curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
      curl_slist_free_all(range_headers);
    }
    busy_ = false;
    return rc == CURLE_OK && !t.aborted;
  }

  // The options every request shares; they stay set on the handle.
  bool Open() {
    curl_ = curl_easy_init();
    if (curl_ == nullptr) return false;
    curl_easy_setopt(curl_, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl_, CURLOPT_MAXREDIRS, static_cast<long>(limits_.max_redirects));
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, OnWrite);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, OnHeader);
    // The body as it lies on the server, and never decoded here: a server
    // that compresses anyway is told apart by its Content-Encoding.
    headers_ = curl_slist_append(nullptr, kAcceptIdentity);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(curl_, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    // A server that stops sending, or sends a byte now and then, must not
    // hang the update for ever: the dead-transfer watch ends it.
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT,
                     static_cast<long>(limits_.connect_timeout_seconds));
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, OnProgress);
    // The sockets are known, so that Interrupt can reach them.
    curl_easy_setopt(curl_, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    curl_easy_setopt(curl_, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(curl_, CURLOPT_CLOSESOCKETFUNCTION, CloseSocket);
    curl_easy_setopt(curl_, CURLOPT_CLOSESOCKETDATA, this);
    return true;
  }

  static curl_socket_t OpenSocket(void* user, curlsocktype /*purpose*/, curl_sockaddr* address) {
    auto* self = static_cast<CurlTransport*>(user);
    const curl_socket_t s =
        socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (s == CURL_SOCKET_BAD) return s;
    std::lock_guard<std::mutex> lock(self->sockets_mu_);
    self->sockets_.push_back(s);
    return s;
  }
  static int CloseSocket(void* user, curl_socket_t s) {
    auto* self = static_cast<CurlTransport*>(user);
    {
      std::lock_guard<std::mutex> lock(self->sockets_mu_);
      std::erase(self->sockets_, s);
    }
    return close(s);
  }

  HttpLimits limits_;
  const std::atomic<bool>* abort_ = nullptr;
  std::mutex sockets_mu_;
  std::vector<curl_socket_t> sockets_;  // open, by the close under the same lock
  CURL* curl_ = nullptr;
  curl_slist* headers_ = nullptr;
  bool busy_ = false;
};

}  // namespace

std::unique_ptr<HttpTransport> NewHttpTransport(const HttpLimits& limits) {
  return std::make_unique<CurlTransport>(limits);
}

}  // namespace quasto::client
