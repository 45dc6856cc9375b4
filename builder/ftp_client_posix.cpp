#include <curl/curl.h>

#include <cstdio>

#include "builder/ftp_client.h"
#include "shared/file_stream.h"
#include "shared/fs.h"

namespace quasto {
namespace {

struct SList {
  curl_slist* list = nullptr;
  ~SList() { curl_slist_free_all(list); }
  void Add(const std::string& s) { list = curl_slist_append(list, s.c_str()); }
};

size_t ReadLocal(char* buf, size_t size, size_t n, void* user) {
  auto* in = static_cast<fs::InputFile*>(user);
  int64_t got = in->Read(buf, size * n);
  return got < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(got);
}

size_t Discard(char*, size_t size, size_t n, void*) { return size * n; }

// One control connection, kept open by libcurl between requests. libcurl is
// told not to change directories itself (CURLFTPMETHOD_NOCWD), so the remote
// directory is the one our own CWD commands left, and STOR gets the bare
// name. A request that had to open a new connection would have lost that
// directory, so it counts as failed.
class CurlFtpClient : public FtpClient {
 public:
  ~CurlFtpClient() override { Close(); }

  bool Connect(const std::string& server, int port, const std::string& login,
               const std::string& password) override {
    Close();
    curl_ = curl_easy_init();
    if (curl_ == nullptr) return Fail("libcurl unavailable");
    std::string host = server;
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    base_ = "ftp://" + host + ":" + std::to_string(port > 0 ? port : 21) + "/";
    curl_easy_setopt(curl_, CURLOPT_USERNAME, login.c_str());
    curl_easy_setopt(curl_, CURLOPT_PASSWORD, password.c_str());
    curl_easy_setopt(curl_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(curl_, CURLOPT_FTP_USE_EPSV, 0L);  // plain PASV
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error_);
    // The protocol dialogue on standard error, for diagnosing a server.
    if (!fs::GetEnv("QUASTO_FTP_VERBOSE").empty()) curl_easy_setopt(curl_, CURLOPT_VERBOSE, 1L);
    // Names with letters outside ASCII must arrive as the client asks for
    // them; servers that do not know the command keep their default.
    SList quote;
    quote.Add("*OPTS UTF8 ON");
    if (!Perform(base_, quote.list, -1)) {
      curl_easy_cleanup(curl_);
      curl_ = nullptr;
      return false;
    }
    return true;
  }

  bool ChangeDirectory(const std::string& path) override {
    if (curl_ == nullptr) return Fail("not connected");
    // A refused quote command would make libcurl drop the connection; with
    // "*" it keeps it, and the reply code tells the outcome.
    SList quote;
    quote.Add(path == ".." ? std::string("*CDUP") : "*CWD " + path);
    if (!Perform(base_, quote.list, 0)) return false;
    long code = 0;
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code);
    if (code < 200 || code > 299) return Fail("directory refused (" + std::to_string(code) + "): " + path);
    return true;
  }

  bool SendFile(const std::string& local_path, const std::string& remote_name) override {
    if (curl_ == nullptr) return Fail("not connected");
    fs::InputFile in;
    if (!in.Open(local_path)) return Fail("cannot read " + local_path);
    char* escaped = curl_easy_escape(curl_, remote_name.c_str(), static_cast<int>(remote_name.size()));
    if (escaped == nullptr) return Fail("out of memory");
    std::string url = base_ + escaped;
    curl_free(escaped);
    curl_easy_setopt(curl_, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl_, CURLOPT_READFUNCTION, ReadLocal);
    curl_easy_setopt(curl_, CURLOPT_READDATA, &in);
    curl_easy_setopt(curl_, CURLOPT_TRANSFERTEXT, 0L);
    bool ok = Perform(url, nullptr, 1);
    curl_easy_setopt(curl_, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(curl_, CURLOPT_READDATA, nullptr);
    return ok;
  }

  void Close() override {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);  // sends QUIT
    curl_ = nullptr;
  }

  std::string LastError() const override { return last_error_; }

 private:
  bool Fail(const std::string& what) {
    last_error_ = what;
    return false;
  }

  // `allowed_connects`: new connections the request may open (a transfer's
  // data connection counts as one); -1 for any.
  bool Perform(const std::string& url, curl_slist* quote, long allowed_connects) {
    error_[0] = '\0';
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_QUOTE, quote);
    curl_easy_setopt(curl_, CURLOPT_NOBODY, quote != nullptr ? 1L : 0L);
    CURLcode rc = curl_easy_perform(curl_);
    curl_easy_setopt(curl_, CURLOPT_QUOTE, nullptr);
    long connects = 0;
    curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &connects);
    if (rc != CURLE_OK) {
      return Fail(error_[0] != '\0' ? std::string(error_) : curl_easy_strerror(rc));
    }
    if (allowed_connects >= 0 && connects > allowed_connects) return Fail("connection to the server was lost");
    return true;
  }

  CURL* curl_ = nullptr;
  std::string base_;
  std::string last_error_;
  char error_[CURL_ERROR_SIZE] = {};
};

}  // namespace

bool InitNetwork() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

std::unique_ptr<FtpClient> MakeFtpClient() {
  InitNetwork();
  return std::make_unique<CurlFtpClient>();
}

}  // namespace quasto
