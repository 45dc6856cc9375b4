// A small FTP client on Winsock: one control connection, passive data
// connections, image type. Names go out as UTF-8 bytes.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <vector>

#include "builder/ftp_client.h"
#include "shared/file_stream.h"
#include "shared/limits.h"

namespace quasto {
namespace {

constexpr DWORD kTimeoutMs = 60000;

class Socket {
 public:
  Socket() = default;
  ~Socket() { Close(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool Connect(const sockaddr* addr, int len) {
    Close();
    s_ = socket(addr->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (s_ == INVALID_SOCKET) return false;
    DWORD t = kTimeoutMs;
    setsockopt(s_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
    setsockopt(s_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
    if (connect(s_, addr, len) != 0) {
      Close();
      return false;
    }
    return true;
  }
  bool SendAll(const char* p, size_t n) {
    while (n > 0) {
      int chunk = n > (1u << 20) ? (1 << 20) : static_cast<int>(n);
      int sent = send(s_, p, chunk, 0);
      if (sent <= 0) return false;
      p += sent;
      n -= static_cast<size_t>(sent);
    }
    return true;
  }
  int Receive(char* buf, int n) { return recv(s_, buf, n, 0); }
  // Waits at most `ms` for something to read; false when nothing came.
  bool Readable(DWORD ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s_, &set);
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) == 1;
  }
  void Shutdown() {
    if (s_ != INVALID_SOCKET) shutdown(s_, SD_SEND);
  }
  void Close() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    s_ = INVALID_SOCKET;
  }
  bool IsOpen() const { return s_ != INVALID_SOCKET; }
  SOCKET get() const { return s_; }

 private:
  SOCKET s_ = INVALID_SOCKET;
};

class WinsockFtpClient : public FtpClient {
 public:
  ~WinsockFtpClient() override { Close(); }

  bool Connect(const std::string& server, int port, const std::string& login,
               const std::string& password) override {
    Close();
    refusal_.clear();
    last_error_.clear();
    if (!InitNetwork()) return Fail("network not available");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port > 0 ? port : 21);
    if (getaddrinfo(server.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
      return Fail("unknown host " + server);
    }
    bool connected = false;
    for (addrinfo* a = found; a != nullptr && !connected; a = a->ai_next) {
      connected = control_.Connect(a->ai_addr, static_cast<int>(a->ai_addrlen));
    }
    freeaddrinfo(found);
    if (!connected) return Fail("cannot connect to " + server);
    if (ReadReply() != 220) return Abort("no greeting: " + last_error_);
    int code = Command("USER " + login);
    if (code == 331) code = Command("PASS " + password);
    if (code != 230 && code != 202) return Abort("login refused: " + reply_);
    // Names with letters outside ASCII must arrive as the client asks for
    // them: switch the server to UTF-8 where it offers that.
    if (Command("FEAT") == 211 && reply_.find("UTF8") != std::string::npos) {
      Command("OPTS UTF8 ON");
    }
    refusal_.clear();  // a server without FEAT refused nothing we need
    return true;
  }

  bool ChangeDirectory(const std::string& path) override {
    refusal_.clear();
    const int code = Command(path == ".." ? std::string("CDUP") : "CWD " + path);
    if (code < 200 || code > 299) return Fail("directory refused: " + reply_);
    return true;
  }

  bool MakeDirectory(const std::string& name) override {
    refusal_.clear();
    const int code = Command("MKD " + name);
    if (code < 200 || code > 299) return Fail("directory not created: " + reply_);
    return true;
  }

  bool Rename(const std::string& from, const std::string& to) override {
    refusal_.clear();
    if (Command("RNFR " + from) != 350) return Fail("rename refused: " + reply_);
    const int code = Command("RNTO " + to);
    if (code < 200 || code > 299) return Fail("rename refused: " + reply_);
    return true;
  }

  bool RemoveFile(const std::string& name) override {
    refusal_.clear();
    const int code = Command("DELE " + name);
    if (code < 200 || code > 299) return Fail("delete refused: " + reply_);
    return true;
  }

  bool RemoteSize(const std::string& name, int64_t* size) override {
    refusal_.clear();
    if (Command("TYPE I") != 200) return Fail("TYPE I refused: " + reply_);
    if (Command("SIZE " + name) != 213) return Fail("size refused: " + reply_);
    // "213 <bytes>"
    if (reply_.size() <= 4 || reply_.size() > 4 + 18) return Fail("bad SIZE reply: " + reply_);
    int64_t n = 0;
    for (size_t i = 4; i < reply_.size(); ++i) {
      if (reply_[i] < '0' || reply_[i] > '9') return Fail("bad SIZE reply: " + reply_);
      n = n * 10 + (reply_[i] - '0');
    }
    *size = n;
    return true;
  }

  bool SendFile(const std::string& local_path, const std::string& remote_name) override {
    refusal_.clear();
    if (!control_.IsOpen()) return Fail("not connected");
    fs::InputFile in;
    if (!in.Open(local_path)) return Fail("cannot read " + local_path);
    if (Command("TYPE I") != 200) return Fail("TYPE I refused: " + reply_);
    Socket data;
    if (!OpenPassive(&data)) return false;
    const int start = Command("STOR " + remote_name);
    if (start < 100 || start > 199) return Fail("STOR refused: " + reply_);
    std::vector<char> buf(1 << 16);
    bool ok = true;
    for (;;) {
      int64_t n = in.Read(buf.data(), buf.size());
      if (n < 0) ok = false;
      if (n <= 0) break;
      if (!data.SendAll(buf.data(), static_cast<size_t>(n))) {
        ok = false;
        break;
      }
    }
    data.Shutdown();
    data.Close();
    const int done = ReadReply();
    if (!ok) return Fail("transfer of " + local_path + " broke off");
    if (done != 226 && done != 250) return Fail("transfer not confirmed: " + reply_);
    return true;
  }

  void Close() override {
    if (control_.IsOpen()) Command("QUIT");
    control_.Close();
    pending_.clear();
  }

  std::string LastError() const override { return last_error_; }
  std::string LastRefusal() const override { return refusal_; }

 private:
  bool Fail(const std::string& what) {
    last_error_ = what;
    return false;
  }
  bool Abort(const std::string& what) {
    control_.Close();
    return Fail(what);
  }

  // Sends one command line and reads its reply; 0 when the connection broke.
  int Command(const std::string& line) {
    if (!control_.IsOpen()) return 0;
    // A line break inside a name would start a command of its own.
    if (line.find_first_of("\r\n") != std::string::npos) {
      reply_ = "line break in a name";
      return 0;
    }
    const std::string text = line + "\r\n";
    if (!control_.SendAll(text.data(), text.size())) {
      control_.Close();
      return 0;
    }
    return ReadReply();
  }

  // One line of the reply being read, by the reply's deadline.
  bool ReadLine(std::string* line) {
    for (;;) {
      size_t eol = pending_.find("\r\n");
      if (eol != std::string::npos) {
        *line = pending_.substr(0, eol);
        pending_.erase(0, eol + 2);
        return true;
      }
      if (static_cast<int64_t>(pending_.size()) > kMaxFtpReplyBytes) return false;
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline_ || !control_.Readable(static_cast<DWORD>(deadline_ - now))) {
        last_error_ = "no whole reply within " + std::to_string(kFtpReplySeconds) + " s";
        return false;
      }
      char buf[4096];
      int n = control_.Receive(buf, sizeof buf);
      if (n <= 0) return false;
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

  // A reply, also one of several lines ("123-" ... "123 "); its code. It
  // must arrive whole within kFtpReplySeconds and be at most
  // kMaxFtpReplyBytes long: a trickle or an endless reply breaks the
  // connection.
  int ReadReply() {
    deadline_ = GetTickCount64() + static_cast<ULONGLONG>(kFtpReplySeconds) * 1000;
    std::string line;
    if (!ReadLine(&line) || line.size() < 3) {
      control_.Close();
      return 0;
    }
    reply_ = line;
    const std::string code = line.substr(0, 3);
    if (line.size() > 3 && line[3] == '-') {
      do {
        if (!ReadLine(&line) ||
            static_cast<int64_t>(reply_.size() + line.size()) > kMaxFtpReplyBytes) {
          if (last_error_.empty()) last_error_ = "reply without end";
          reply_.clear();
          control_.Close();
          return 0;
        }
        reply_ += "\n" + line;
      } while (!(line.size() >= 4 && line.compare(0, 3, code) == 0 && line[3] == ' '));
    }
    const int value = std::atoi(code.c_str());
    if (value >= 400 && refusal_.empty()) refusal_ = reply_;
    return value;
  }

  // PASV; the data connection goes to the control connection's peer, not to
  // the address in the reply, as a server behind NAT may name a wrong one.
  bool OpenPassive(Socket* data) {
    if (Command("PASV") != 227) return Fail("PASV refused: " + reply_);
    const size_t open = reply_.find('(');
    int h[6];
    if (open == std::string::npos ||
        std::sscanf(reply_.c_str() + open + 1, "%d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3],
                    &h[4], &h[5]) != 6) {
      return Fail("bad PASV reply: " + reply_);
    }
    sockaddr_storage peer{};
    int len = sizeof peer;
    if (getpeername(control_.get(), reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
      return Fail("no peer address");
    }
    const u_short port = htons(static_cast<u_short>(((h[4] & 0xFF) << 8) | (h[5] & 0xFF)));
    if (peer.ss_family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(&peer)->sin_port = port;
    } else {
      reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port = port;
    }
    if (!data->Connect(reinterpret_cast<sockaddr*>(&peer), len)) {
      return Fail("data connection failed");
    }
    return true;
  }

  Socket control_;
  ULONGLONG deadline_ = 0;  // of the reply being read
  std::string pending_;
  std::string reply_;
  std::string last_error_;
  std::string refusal_;
};

}  // namespace

bool InitNetwork() {
  static const bool ready = [] {
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
  }();
  return ready;
}

std::unique_ptr<FtpClient> MakeFtpClient() { return std::make_unique<WinsockFtpClient>(); }

}  // namespace quasto
