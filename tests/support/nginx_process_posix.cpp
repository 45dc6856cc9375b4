#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/nginx_process.h"

extern char** environ;

namespace quasto::testing {
namespace {

// A port no one listens on now; nginx takes it a moment later.
int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(s);
  return port;
}

bool Accepts(int port) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// Waits up to `ms` for the child to end; true when it did.
bool Reaped(int pid, int ms) {
  for (int waited = 0; waited <= ms; waited += 10) {
    const int r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    usleep(10000);
  }
  return false;
}

// One process, no master and workers: a stop or a kill ends all of it, and
// it reads the test's files as the user who runs the test. Headers are
// logged as sent, quotes and all. The small send buffer keeps what nginx
// counts as sent close to what its client received when a client breaks a
// transfer off. Fields are separated by tabs.
constexpr char kConfig[] = R"(daemon off;
master_process off;
error_log {prefix}error.log;
pid {prefix}nginx.pid;
worker_shutdown_timeout 5s;
events { worker_connections 64; }
http {
    log_format quasto escape=none
        '$status	$request_method	$request_uri	$http_range	$http_if_range	$body_bytes_sent	$sent_http_etag	$sent_http_last_modified';
    access_log {prefix}access.log quasto;
    client_body_temp_path {prefix}tmp;
    proxy_temp_path {prefix}tmp;
    fastcgi_temp_path {prefix}tmp;
    uwsgi_temp_path {prefix}tmp;
    scgi_temp_path {prefix}tmp;
    default_type application/octet-stream;
    send_timeout 10s;
    server {
        listen 127.0.0.1:{port} sndbuf=16k;
        root {root};
        {directives}
    }
}
)";

std::string Replace(std::string text, const std::string& key, const std::string& value) {
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size())) {
    text.replace(at, key.size(), value);
  }
  return text;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// nginx logs an absent header as "-".
std::string Field(const std::string& f) { return f == "-" ? std::string() : f; }

}  // namespace

std::string NginxProcess::Binary() {
  for (const char* candidate : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return "";
}

NginxProcess::NginxProcess(const std::string& root, const std::string& directives) {
  const std::string binary = Binary();
  if (binary.empty()) throw std::runtime_error("nginx is not installed");
  mkdir((prefix_ / "tmp").c_str(), 0700);
  // Another program may take the free port first: a few tries.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (Start(binary, root, directives)) return;
  }
  throw std::runtime_error("nginx did not start: " + ReadAll(prefix_ / "error.log"));
}

bool NginxProcess::Start(const std::string& binary, const std::string& root,
                         const std::string& directives) {
  port_ = FreePort();
  if (port_ == 0) return false;
  std::string config = Replace(kConfig, "{prefix}", prefix_.path());
  config = Replace(config, "{port}", std::to_string(port_));
  config = Replace(config, "{root}", root);
  config = Replace(config, "{directives}", directives);
  const std::string conf = prefix_ / "nginx.conf";
  std::ofstream(conf, std::ios::binary | std::ios::trunc) << config;

  // -e: the error log before the configuration is read is ours too, not
  // the system's.
  std::vector<std::string> argv{binary, "-p", prefix_.path(), "-c", conf, "-e",
                                prefix_ / "error.log"};
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int rc = posix_spawn(&pid, binary.c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + binary);
  pid_ = pid;
  // As long as it lives: a first start on a cold machine may be slow.
  for (;;) {
    if (Accepts(port_)) return true;
    if (Reaped(pid_, 0)) {
      pid_ = -1;
      return false;
    }
    usleep(10000);
  }
}

NginxProcess::~NginxProcess() { Stop(); }

void NginxProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGQUIT);
  if (!Reaped(pid_, 10000)) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}

std::string NginxProcess::http_url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

std::vector<NginxRequest> NginxProcess::Requests() const {
  return ParseNginxLog(ReadAll(prefix_ / "access.log"));
}

std::vector<NginxRequest> NginxProcess::RequestsFor(const std::string& uri) const {
  std::vector<NginxRequest> out;
  for (NginxRequest& r : Requests()) {
    if (r.uri == uri) out.push_back(std::move(r));
  }
  return out;
}

std::vector<NginxRequest> ParseNginxLog(const std::string& log) {
  std::vector<NginxRequest> out;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    size_t at = 0;
    for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1) {
      f.push_back(line.substr(at, tab - at));
    }
    f.push_back(line.substr(at));
    if (f.size() != 8) continue;
    NginxRequest r;
    r.status = std::atoi(f[0].c_str());
    r.method = f[1];
    r.uri = f[2];
    r.range = Field(f[3]);
    r.if_range = Field(f[4]);
    r.body_bytes = std::atoll(f[5].c_str());
    r.etag = Field(f[6]);
    r.last_modified = Field(f[7]);
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace quasto::testing
