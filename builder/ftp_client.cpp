#include <curl/curl.h>
#include <sodium.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "builder/ftp_client.h"
#include "builder/key_file_path.h"
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

// A server that stops answering ends the request instead of holding the
// builder: a reply, the greeting included, arrives whole within its time,
// and a transfer never stands still for a minute.
void SetStallLimits(CURL* curl) {
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(kFtpReplySeconds));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
}

size_t Discard(char*, size_t size, size_t n, void*) { return size * n; }
// Ends a download at its first bytes: only the size it announced is wanted.
size_t Refuse(char*, size_t, size_t, void*) { return 0; }

constexpr char kPinPrefix[] = "SHA256:";

// "SHA256:<base64>" of `bytes`, padding left off as ssh prints it.
std::string Fingerprint(const unsigned char* bytes, size_t size) {
  unsigned char hash[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(hash, bytes, size);
  char b64[sodium_base64_ENCODED_LEN(sizeof hash, sodium_base64_VARIANT_ORIGINAL_NO_PADDING)];
  sodium_bin2base64(b64, sizeof b64, hash, sizeof hash, sodium_base64_VARIANT_ORIGINAL_NO_PADDING);
  return kPinPrefix + std::string(b64);
}

// The base64 of a pin, without "SHA256:" and padding; "" when it is not 32
// bytes of base64.
std::string PinDigest(const std::string& pin) {
  std::string b64 = pin.compare(0, 7, kPinPrefix) == 0 ? pin.substr(7) : pin;
  while (!b64.empty() && b64.back() == '=') b64.pop_back();
  unsigned char bin[64];
  size_t len = 0;
  if (sodium_base642bin(bin, sizeof bin, b64.c_str(), b64.size(), nullptr, &len, nullptr,
                        sodium_base64_VARIANT_ORIGINAL_NO_PADDING) != 0 ||
      len != crypto_hash_sha256_BYTES) {
    return "";
  }
  return b64;
}

// A path for an SFTP quote command, in double quotes: libcurl splits the
// command at blanks otherwise.
std::string QuotedPath(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBase64(char c) {
  return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '+' || c == '/' ||
         c == '=';
}

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
//
// SFTP has no directory of the session: the client keeps it and names every
// file by its whole path, so a request that connects again loses nothing.
// Paths that do not start at the root start at the login's home folder
// ("/~/" in a URL, a bare relative path in a quote command).
class CurlFtpClient : public FtpClient {
 public:
  ~CurlFtpClient() override { Close(); }

  using FtpClient::Connect;
  bool Connect(const ServerLogin& l) override {
    Close();
    refusal_.clear();
    identity_ = IdentityProblem::kNone;
    presented_.clear();
    sftp_ = l.protocol == TransferProtocol::kSftp;
    secret_ = l.password;
    curl_ = curl_easy_init();
    if (curl_ == nullptr) return Fail("libcurl unavailable");
    std::string host = l.server;
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    const int port = l.port > 0 ? l.port : DefaultPort(l.protocol);
    base_ = (sftp_ ? "sftp://" : "ftp://") + host + ":" + std::to_string(port);
    dir_.clear();
    dir_absolute_ = false;
    curl_easy_setopt(curl_, CURLOPT_USERNAME, l.login.c_str());
    curl_easy_setopt(curl_, CURLOPT_PASSWORD, l.password.c_str());
    curl_easy_setopt(curl_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(curl_, CURLOPT_FTP_USE_EPSV, 0L);  // plain PASV
    SetStallLimits(curl_);
    // A reply that grows past its bound ends the request at once.
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(curl_, CURLOPT_SOCKOPTFUNCTION, OnSocket);
    curl_easy_setopt(curl_, CURLOPT_SOCKOPTDATA, this);
    if (!SetIdentity(l)) return false;
    // The server's replies reach us only through the debug callback, which
    // libcurl calls in verbose mode; the dialogue goes to standard error
    // only on request, for diagnosing a server. libcurl hands the FTP
    // command "PASS" over as sent, password and all; OnDebug shows it as
    // "PASS ****".
    verbose_ = !fs::GetEnv("QUASTO_FTP_VERBOSE").empty();
    curl_easy_setopt(curl_, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(curl_, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(curl_, CURLOPT_VERBOSE, 1L);
    bool ok;
    if (sftp_) {
      // Logging in and listing the home folder proves the login.
      curl_easy_setopt(curl_, CURLOPT_DIRLISTONLY, 1L);
      ok = Perform(base_ + "/~/", nullptr, -1);
    } else {
      // Names with letters outside ASCII must arrive as the client asks for
      // them; servers that do not know the command keep their default.
      SList quote;
      quote.Add("*OPTS UTF8 ON");
      ok = Perform(base_ + "/", quote.list, -1);
    }
    if (!ok) {
      curl_easy_cleanup(curl_);
      curl_ = nullptr;
      if (identity_ == IdentityProblem::kUntrusted) presented_ = ProbeCertificateKey();
      return false;
    }
    refusal_.clear();  // a server that does not know OPTS UTF8 refused nothing we need
    return true;
  }

  IdentityProblem Identity() const override { return identity_; }
  std::string PresentedKey() const override { return presented_; }

  bool ChangeDirectory(const std::string& path) override {
    if (!sftp_) {
      return Quote({path == ".." ? std::string("CDUP") : "CWD " + path}, "directory refused");
    }
    refusal_.clear();
    if (curl_ == nullptr) return Fail("not connected");
    std::string dir = dir_;
    bool absolute = dir_absolute_;
    if (path == "..") {
      dir += "../";
    } else if (!path.empty() && path[0] == '/') {
      dir = path.substr(1);
      absolute = true;
    } else {
      dir += path;
    }
    if (!dir.empty() && dir.back() != '/') dir += '/';
    // A listing proves that the folder is there and may be entered.
    curl_easy_setopt(curl_, CURLOPT_DIRLISTONLY, 1L);
    if (!Perform(Url(absolute, dir, ""), nullptr, -1)) return SftpRefused("directory refused");
    dir_ = dir;
    dir_absolute_ = absolute;
    return true;
  }

  bool MakeDirectory(const std::string& name) override {
    if (!sftp_) return Quote({"MKD " + name}, "directory not created");
    return SftpQuote({"mkdir " + QuotedPath(Path(name))}, "directory not created");
  }

  bool Rename(const std::string& from, const std::string& to) override {
    if (!sftp_) return Quote({"RNFR " + from, "RNTO " + to}, "rename refused");
    // SFTP's rename does not replace a file: the old one goes first. Until
    // the rename, clients find no file of that name, never a partial one.
    return SftpQuote({"*rm " + QuotedPath(Path(to)),
                      "rename " + QuotedPath(Path(from)) + " " + QuotedPath(Path(to))},
                     "rename refused");
  }

  bool RemoveFile(const std::string& name) override {
    if (!sftp_) return Quote({"DELE " + name}, "delete refused");
    return SftpQuote({"rm " + QuotedPath(Path(name))}, "delete refused");
  }

  bool RemoteSize(const std::string& name, int64_t* size) override {
    if (!sftp_) {
      if (!Quote({"TYPE I", "SIZE " + name}, "size refused")) return false;
      return ParseSize(replies_[1], size) || Fail("bad SIZE reply: " + replies_[1]);
    }
    refusal_.clear();
    if (curl_ == nullptr) return Fail("not connected");
    // A download that ends at its first bytes: libcurl has asked the server
    // for the file's attributes before, and announces its size.
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Refuse);
    Perform(Url(dir_absolute_, dir_, name), nullptr, -1);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Discard);
    curl_off_t announced = -1;
    curl_easy_getinfo(curl_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (announced < 0) return SftpRefused("size refused");
    *size = announced;
    return true;
  }

  bool SendFile(const std::string& local_path, const std::string& remote_name) override {
    refusal_.clear();
    if (curl_ == nullptr) return Fail("not connected");
    fs::InputFile in;
    if (!in.Open(local_path)) return Fail("cannot read " + local_path);
    const std::string url =
        sftp_ ? Url(dir_absolute_, dir_, remote_name) : base_ + "/" + Escaped(remote_name);
    curl_easy_setopt(curl_, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl_, CURLOPT_READFUNCTION, ReadLocal);
    curl_easy_setopt(curl_, CURLOPT_READDATA, &in);
    curl_easy_setopt(curl_, CURLOPT_TRANSFERTEXT, 0L);
    bool ok = Perform(url, nullptr, sftp_ ? -1 : 1);
    curl_easy_setopt(curl_, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(curl_, CURLOPT_READDATA, nullptr);
    if (!ok && sftp_) SftpRefused("upload refused");
    if (ok) refusal_.clear();
    return ok;
  }

  void Close() override {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);  // sends QUIT
    curl_ = nullptr;
    lost_ = false;
    line_.clear();
    reply_.clear();
    open_code_.clear();
  }

  std::string LastError() const override { return Masked(last_error_); }
  std::string LastRefusal() const override { return Masked(refusal_); }

 private:
  // A server may repeat what it was sent when it refuses it: its words,
  // shown in messages and logs, never show the password.
  std::string Masked(std::string text) const {
    if (secret_.empty()) return text;
    for (size_t at = 0; (at = text.find(secret_, at)) != std::string::npos; at += 4) {
      text.replace(at, secret_.size(), "****");
    }
    return text;
  }

  // How the server proves who it is.
  bool SetIdentity(const ServerLogin& l) {
    std::string digest;
    if (!l.pin.empty()) {
      digest = PinDigest(l.pin);
      if (digest.empty()) return Fail("the pinned fingerprint is not a SHA-256 in base64");
    }
    if (sftp_) {
      if (l.key_file.empty()) {
        curl_easy_setopt(curl_, CURLOPT_SSH_AUTH_TYPES,
                         static_cast<long>(CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD));
      } else {
        curl_easy_setopt(curl_, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PUBLICKEY));
        curl_easy_setopt(curl_, CURLOPT_SSH_PRIVATE_KEYFILE,
                         KeyFilePath(fs::NativePath(l.key_file)).c_str());
        if (fs::FileSize(l.key_file + ".pub") > 0) {
          curl_easy_setopt(curl_, CURLOPT_SSH_PUBLIC_KEYFILE,
                           KeyFilePath(fs::NativePath(l.key_file + ".pub")).c_str());
        }
        curl_easy_setopt(curl_, CURLOPT_KEYPASSWD, l.password.c_str());
        curl_easy_setopt(curl_, CURLOPT_PASSWORD, "");
      }
      if (!digest.empty()) {
        pin_ = digest;
        curl_easy_setopt(curl_, CURLOPT_SSH_HOST_PUBLIC_KEY_SHA256, pin_.c_str());
      } else {
        // No key is trusted unseen: the callback notes the one shown and refuses it.
        curl_easy_setopt(curl_, CURLOPT_SSH_HOSTKEYFUNCTION, OnHostKey);
        curl_easy_setopt(curl_, CURLOPT_SSH_HOSTKEYDATA, this);
      }
      return true;
    }
    if (l.protocol != TransferProtocol::kFtps) return true;
    curl_easy_setopt(curl_, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(curl_, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    if (!digest.empty()) {
      // The pinned key stands for the chain: a self-signed server's
      // certificate names no authority to check and perhaps no host.
      pin_ = "sha256//" + digest + "=";
      curl_easy_setopt(curl_, CURLOPT_PINNEDPUBLICKEY, pin_.c_str());
      curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 0L);
      curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
    } else {
      curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
      curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
      // Offline revocation lists must not block a publication.
      curl_easy_setopt(curl_, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
    }
    pinned_ = !digest.empty();
    return true;
  }

  // The fingerprint of the key an FTPS server shows whose certificate no
  // authority vouches for, so that the publisher can compare it and pin it.
  // A connection of its own, with no login to give away, holds the server to
  // a pin no key has: libcurl hashes the key shown and ends the connection
  // before anything is sent over it.
  std::string ProbeCertificateKey() {
    CURL* probe = curl_easy_init();
    if (probe == nullptr) return "";
    shown_tls_key_.clear();
    const std::string no_key = "sha256//" + std::string(43, 'A') + "=";
    curl_easy_setopt(probe, CURLOPT_URL, (base_ + "/").c_str());
    curl_easy_setopt(probe, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(probe, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(probe, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    curl_easy_setopt(probe, CURLOPT_PINNEDPUBLICKEY, no_key.c_str());
    curl_easy_setopt(probe, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(probe, CURLOPT_SSL_VERIFYHOST, 0L);
    SetStallLimits(probe);
    curl_easy_setopt(probe, CURLOPT_DEBUGFUNCTION, OnProbeDebug);
    curl_easy_setopt(probe, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(probe, CURLOPT_VERBOSE, 1L);
    const CURLcode rc = curl_easy_perform(probe);
    curl_easy_cleanup(probe);
    return rc == CURLE_SSL_PINNEDPUBKEYNOTMATCH ? shown_tls_key_ : "";
  }

  static int OnProbeDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type == CURLINFO_TEXT) {
      static_cast<CurlFtpClient*>(user)->OnInfoText(std::string_view(data, size));
    }
    return 0;
  }

  static int OnHostKey(void* user, int, const char* key, size_t size) {
    auto* self = static_cast<CurlFtpClient*>(user);
    self->presented_ = Fingerprint(reinterpret_cast<const unsigned char*>(key), size);
    self->identity_ = IdentityProblem::kUnknownHostKey;
    return CURLKHMATCH_MISMATCH;
  }

  // `name` in the current SFTP folder, as a quote command takes it.
  std::string Path(const std::string& name) const {
    return (dir_absolute_ ? "/" : "") + dir_ + name;
  }

  // An SFTP URL: every segment escaped, the slashes between them kept.
  std::string Url(bool absolute, const std::string& dir, const std::string& name) {
    std::string url = base_ + (absolute ? "/" : "/~/");
    size_t pos = 0;
    for (size_t slash; (slash = dir.find('/', pos)) != std::string::npos; pos = slash + 1) {
      url += Escaped(dir.substr(pos, slash - pos)) + "/";
    }
    return url + Escaped(name);
  }

  std::string Escaped(const std::string& segment) {
    char* escaped = curl_easy_escape(curl_, segment.c_str(), static_cast<int>(segment.size()));
    if (escaped == nullptr) return segment;
    std::string out = escaped;
    curl_free(escaped);
    return out;
  }

  // SFTP commands on a listing of the current folder, whose body is dropped.
  bool SftpQuote(const std::vector<std::string>& commands, const std::string& what) {
    refusal_.clear();
    if (curl_ == nullptr) return Fail("not connected");
    SList quote;
    for (const std::string& c : commands) quote.Add(c);
    curl_easy_setopt(curl_, CURLOPT_DIRLISTONLY, 1L);
    return Perform(Url(dir_absolute_, dir_, ""), quote.list, -1) || SftpRefused(what);
  }

  // SFTP servers answer with a status, which libcurl puts into its message:
  // that is the server's refusal.
  bool SftpRefused(const std::string& what) {
    if (refusal_.empty() && error_[0] != '\0') refusal_ = error_;
    return Fail(what + ": " + last_error_);
  }

  static int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* self = static_cast<CurlFtpClient*>(user);
    if (self->verbose_ && (type == CURLINFO_TEXT || type == CURLINFO_HEADER_IN ||
                           type == CURLINFO_HEADER_OUT)) {
      std::fwrite(type == CURLINFO_HEADER_IN ? "< " : type == CURLINFO_HEADER_OUT ? "> " : "* ", 1,
                  2, stderr);
      // Standard error ends up in build logs: the password never goes there.
      if (type == CURLINFO_HEADER_OUT && size >= 4 && std::string_view(data, 4) == "PASS") {
        std::fputs("PASS ****\n", stderr);
      } else {
        const std::string shown = self->Masked(std::string(data, size));
        std::fwrite(shown.data(), 1, shown.size(), stderr);
      }
    }
    if (type == CURLINFO_HEADER_IN) self->OnReplyText(std::string(data, size));
    if (type == CURLINFO_TEXT) self->OnInfoText(std::string_view(data, size));
    return 0;
  }

  // libcurl names the hash of the key a TLS server showed when it checks a
  // pin against it; that is the fingerprint to show the publisher.
  void OnInfoText(std::string_view text) {
    static constexpr std::string_view kHash = "public key hash: sha256//";
    const size_t at = text.find(kHash);
    if (at == std::string_view::npos) return;
    std::string b64;
    for (size_t i = at + kHash.size(); i < text.size() && IsBase64(text[i]); ++i) b64 += text[i];
    if (!PinDigest(b64).empty()) shown_tls_key_ = kPinPrefix + PinDigest(b64);
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
    if (!Perform(base_ + "/", quote.list, 0)) return false;
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

  // A new FTP control connection starts in the login's own directory, not
  // in the one our CWD commands left: libcurl would take up a connection
  // the server ended with a new one, and send, rename or delete there. So
  // a request gets no socket beyond those it may open, and once the
  // connection was lost, no request goes out until the next Connect.
  static int OnSocket(void* user, curl_socket_t, curlsocktype) {
    auto* self = static_cast<CurlFtpClient*>(user);
    if (self->sockets_left_ == 0) {
      self->lost_ = true;
      return CURL_SOCKOPT_ERROR;
    }
    if (self->sockets_left_ > 0) --self->sockets_left_;
    return CURL_SOCKOPT_OK;
  }

  // `allowed_connects`: new connections the request may open (a transfer's
  // data connection counts as one); -1 for any.
  bool Perform(const std::string& url, curl_slist* quote, long allowed_connects) {
    error_[0] = '\0';
    endless_ = false;
    if (lost_) return Fail("connection to the server was lost");
    sockets_left_ = allowed_connects;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_QUOTE, quote);
    curl_easy_setopt(curl_, CURLOPT_NOBODY, quote != nullptr && !sftp_ ? 1L : 0L);
    CURLcode rc = curl_easy_perform(curl_);
    curl_easy_setopt(curl_, CURLOPT_QUOTE, nullptr);
    curl_easy_setopt(curl_, CURLOPT_DIRLISTONLY, 0L);
    long connects = 0;
    curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &connects);
    if (allowed_connects >= 0 && connects > allowed_connects) lost_ = true;
    if (lost_) return Fail("connection to the server was lost");
    if (endless_) return Fail("reply without end");
    if (rc != CURLE_OK) Classify(rc);
    if (rc != CURLE_OK) {
      return Fail(error_[0] != '\0' ? std::string(error_) : curl_easy_strerror(rc));
    }
    return true;
  }

  // Whether a failure was the server's identity.
  void Classify(CURLcode rc) {
    if (identity_ != IdentityProblem::kNone) return;
    if (rc == CURLE_USE_SSL_FAILED) {
      identity_ = IdentityProblem::kTlsRefused;
    } else if (rc == CURLE_SSL_PINNEDPUBKEYNOTMATCH) {
      identity_ = IdentityProblem::kKeyChanged;
      presented_ = shown_tls_key_;
    } else if (rc == CURLE_PEER_FAILED_VERIFICATION) {
      identity_ = pinned_ || sftp_ ? IdentityProblem::kKeyChanged : IdentityProblem::kUntrusted;
      // libcurl names the key it was shown: "Remote <base64> is not equal".
      const std::string text = error_;
      const size_t at = text.find("Remote ");
      if (sftp_ && at != std::string::npos) {
        std::string b64 = text.substr(at + 7, text.find(' ', at + 7) - at - 7);
        while (!b64.empty() && b64.back() == '=') b64.pop_back();
        presented_ = kPinPrefix + b64;
      }
    }
  }

  CURL* curl_ = nullptr;
  bool sftp_ = false;
  bool pinned_ = false;
  std::string pin_;  // as libcurl takes it; it keeps a copy, but only from Connect on
  std::string dir_;  // the SFTP folder, relative to the root or home, ending in "/" unless ""
  bool dir_absolute_ = false;
  IdentityProblem identity_ = IdentityProblem::kNone;
  std::string presented_;
  std::string shown_tls_key_;
  std::string base_;
  std::string last_error_;
  std::string secret_;  // the password or passphrase, masked wherever text is shown
  bool verbose_ = false;
  std::string line_;       // a reply line not yet complete
  std::string reply_;      // the lines of a reply not yet complete
  std::string open_code_;  // code of the multi-line reply being read
  std::vector<std::string> replies_;  // complete replies since the last request
  bool endless_ = false;               // a reply outgrew kMaxFtpReplyBytes
  long sockets_left_ = -1;             // new sockets the current request may open; -1: any
  bool lost_ = false;                  // the FTP connection was lost: nothing more goes out
  std::string refusal_;
  char error_[CURL_ERROR_SIZE] = {};
};

}  // namespace

bool ParseProtocol(const std::string& text, TransferProtocol* protocol) {
  if (text.empty() || text == "FTP") *protocol = TransferProtocol::kFtp;
  else if (text == "FTPS") *protocol = TransferProtocol::kFtps;
  else if (text == "SFTP") *protocol = TransferProtocol::kSftp;
  else return false;
  return true;
}

std::string ProtocolName(TransferProtocol protocol) {
  switch (protocol) {
    case TransferProtocol::kFtps: return "FTPS";
    case TransferProtocol::kSftp: return "SFTP";
    case TransferProtocol::kFtp: break;
  }
  return "FTP";
}

bool ValidPin(const std::string& pin) { return !PinDigest(pin).empty(); }
std::string NormalPin(const std::string& pin) {
  const std::string digest = PinDigest(pin);
  return digest.empty() ? pin : kPinPrefix + digest;
}

int DefaultPort(TransferProtocol protocol) { return protocol == TransferProtocol::kSftp ? 22 : 21; }

bool InitNetwork() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK && sodium_init() >= 0;
  return ready;
}

std::unique_ptr<FtpClient> MakeFtpClient() {
  InitNetwork();
  return std::make_unique<CurlFtpClient>();
}

}  // namespace quasto
