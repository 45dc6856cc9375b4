#include <curl/curl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "builder/ftp_client.h"
#include "shared/file_stream.h"
#include "shared/fs.h"
#include "shared/limits.h"

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

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "213 <bytes>".
bool ParseSize(const std::string& reply, int64_t* size) {
  if (reply.compare(0, 4, "213 ") != 0 || reply.size() == 4 || reply.size() > 4 + 18) return false;
  int64_t n = 0;
  for (size_t i = 4; i < reply.size(); ++i) {
    if (!IsDigit(reply[i])) return false;
    n = n * 10 + (reply[i] - '0');
  }
  *size = n;
  return true;
}
bool StartsWithCode(const std::string& line) {
  return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
}

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
    refusal_.clear();
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
    // A reply, the greeting included, arrives whole within this time or
    // ends the request; one that grows past its bound ends it at once.
    curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(kFtpReplySeconds));
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error_);
    // The server's replies reach us only through the debug callback, which
    // libcurl calls in verbose mode; the dialogue goes to standard error
    // only on request, for diagnosing a server.
    verbose_ = !fs::GetEnv("QUASTO_FTP_VERBOSE").empty();
    curl_easy_setopt(curl_, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(curl_, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(curl_, CURLOPT_VERBOSE, 1L);
    // Names with letters outside ASCII must arrive as the client asks for
    // them; servers that do not know the command keep their default.
    SList quote;
    quote.Add("*OPTS UTF8 ON");
    if (!Perform(base_, quote.list, -1)) {
      curl_easy_cleanup(curl_);
      curl_ = nullptr;
      return false;
    }
    refusal_.clear();  // a server that does not know OPTS UTF8 refused nothing we need
    return true;
  }

  bool ChangeDirectory(const std::string& path) override {
    return Quote({path == ".." ? std::string("CDUP") : "CWD " + path}, "directory refused");
  }

  bool MakeDirectory(const std::string& name) override {
    return Quote({"MKD " + name}, "directory not created");
  }

  bool Rename(const std::string& from, const std::string& to) override {
    return Quote({"RNFR " + from, "RNTO " + to}, "rename refused");
  }

  bool RemoveFile(const std::string& name) override {
    return Quote({"DELE " + name}, "delete refused");
  }

  bool RemoteSize(const std::string& name, int64_t* size) override {
    if (!Quote({"TYPE I", "SIZE " + name}, "size refused")) return false;
    return ParseSize(replies_[1], size) || Fail("bad SIZE reply: " + replies_[1]);
  }

  bool SendFile(const std::string& local_path, const std::string& remote_name) override {
    refusal_.clear();
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
    const bool ok = Perform(url, nullptr, 1);
    curl_easy_setopt(curl_, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(curl_, CURLOPT_READDATA, nullptr);
    if (ok) refusal_.clear();
    return ok;
  }

  void Close() override {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);  // sends QUIT
    curl_ = nullptr;
    line_.clear();
    reply_.clear();
    open_code_.clear();
  }

  std::string LastError() const override { return last_error_; }
  std::string LastRefusal() const override { return refusal_; }

 private:
  static int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* self = static_cast<CurlFtpClient*>(user);
    if (self->verbose_ && (type == CURLINFO_TEXT || type == CURLINFO_HEADER_IN ||
                           type == CURLINFO_HEADER_OUT)) {
      std::fwrite(type == CURLINFO_HEADER_IN ? "< " : type == CURLINFO_HEADER_OUT ? "> " : "* ", 1,
                  2, stderr);
      std::fwrite(data, 1, size, stderr);
    }
    if (type == CURLINFO_HEADER_IN) self->OnReplyText(std::string(data, size));
    return 0;
  }

  static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<CurlFtpClient*>(user)->endless_ ? 1 : 0;
  }

  // Collects the server's reply lines into whole replies ("123-" ... "123 ").
  void OnReplyText(const std::string& text) {
    if (endless_) return;
    if (static_cast<int64_t>(line_.size() + reply_.size() + text.size()) > kMaxFtpReplyBytes) {
      // Kept no further; the progress callback ends the request.
      endless_ = true;
      line_.clear();
      reply_.clear();
      return;
    }
    line_ += text;
    for (size_t eol; (eol = line_.find('\n')) != std::string::npos;) {
      std::string line = line_.substr(0, eol);
      line_.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      reply_ += (reply_.empty() ? "" : "\n") + line;
      const bool last = StartsWithCode(line) && (line.size() == 3 || line[3] == ' ') &&
                        (open_code_.empty() || line.compare(0, 3, open_code_) == 0);
      if (last) {
        replies_.push_back(reply_);
        if (refusal_.empty() && line[0] >= '4') refusal_ = reply_;
        reply_.clear();
        open_code_.clear();
      } else if (open_code_.empty() && StartsWithCode(line) && line.size() > 3 && line[3] == '-') {
        open_code_ = line.substr(0, 3);
      }
    }
  }

  // Raw commands on the control connection, each of which must succeed
  // (2xx, or 3xx before the last). A refused command would make libcurl drop
  // the connection; with "*" it keeps it, and the replies tell the outcome.
  bool Quote(const std::vector<std::string>& commands, const std::string& what) {
    refusal_.clear();
    if (curl_ == nullptr) return Fail("not connected");
    SList quote;
    for (const std::string& c : commands) quote.Add("*" + c);
    replies_.clear();
    if (!Perform(base_, quote.list, 0)) return false;
    if (replies_.size() < commands.size()) return Fail(what + ": no reply");
    for (size_t i = 0; i < commands.size(); ++i) {
      const char kind = replies_[i][0];
      const bool last = i + 1 == commands.size();
      if (kind != '2' && (last || kind != '3')) return Fail(what + ": " + replies_[i]);
    }
    return true;
  }

  bool Fail(const std::string& what) {
    last_error_ = what;
    return false;
  }

  // `allowed_connects`: new connections the request may open (a transfer's
  // data connection counts as one); -1 for any.
  bool Perform(const std::string& url, curl_slist* quote, long allowed_connects) {
    error_[0] = '\0';
    endless_ = false;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_QUOTE, quote);
    curl_easy_setopt(curl_, CURLOPT_NOBODY, quote != nullptr ? 1L : 0L);
    CURLcode rc = curl_easy_perform(curl_);
    curl_easy_setopt(curl_, CURLOPT_QUOTE, nullptr);
    long connects = 0;
    curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &connects);
    if (endless_) return Fail("reply without end");
    if (rc != CURLE_OK) {
      return Fail(error_[0] != '\0' ? std::string(error_) : curl_easy_strerror(rc));
    }
    if (allowed_connects >= 0 && connects > allowed_connects) return Fail("connection to the server was lost");
    return true;
  }

  CURL* curl_ = nullptr;
  std::string base_;
  std::string last_error_;
  bool verbose_ = false;
  std::string line_;       // a reply line not yet complete
  std::string reply_;      // the lines of a reply not yet complete
  std::string open_code_;  // code of the multi-line reply being read
  std::vector<std::string> replies_;  // complete replies since the last request
  bool endless_ = false;               // a reply outgrew kMaxFtpReplyBytes
  std::string refusal_;
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
