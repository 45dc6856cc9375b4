#include <curl/curl.h>

#include <mutex>

#include "client/http.h"

namespace quasto::client {
namespace {

struct Transfer {
  const std::function<void(const HttpResponseInfo&)>* on_start;
  const std::function<bool(std::string_view)>* on_data;
  CURL* curl;
  bool started = false;
  bool aborted = false;
};

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
  (*t->on_start)(info);
}

size_t OnWrite(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  Start(t);
  const size_t n = size * count;
  if (!(*t->on_data)(std::string_view(data, n))) {
    t->aborted = true;
    return 0;  // makes curl stop with CURLE_WRITE_ERROR
  }
  return n;
}

class CurlTransport : public HttpTransport {
 public:
  CurlTransport() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  }

  bool Get(const std::string& url, uint32_t /*open_flags: WinINet cache control*/,
           int chunk_size, const std::function<void(const HttpResponseInfo&)>& on_start,
           const std::function<bool(std::string_view)>& on_data) override {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return false;
    Transfer t{&on_start, &on_data, curl};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(chunk_size));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnWrite);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    // A server that stops sending must not hang the update for ever.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 120L);
    CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK) Start(&t);  // an empty body still has headers
    curl_easy_cleanup(curl);
    return rc == CURLE_OK && !t.aborted;
  }
};

}  // namespace

std::unique_ptr<HttpTransport> NewHttpTransport() { return std::make_unique<CurlTransport>(); }

}  // namespace quasto::client
