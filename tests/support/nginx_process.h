// Starts nginx as a child process serving a folder on 127.0.0.1, with a
// configuration of its own in a temporary folder, and stops it again. Its
// access log says what each request asked for and what was sent.
#ifndef QUASTO_TESTS_SUPPORT_NGINX_PROCESS_H_
#define QUASTO_TESTS_SUPPORT_NGINX_PROCESS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "shared/test_util.h"

namespace quasto::testing {

// One line of the access log. Headers the request did not send, and those
// the response did not have, are "".
struct NginxRequest {
  int status = 0;
  std::string method;
  std::string uri;       // as requested, percent-encoded
  std::string range;     // the request's Range
  std::string if_range;  // the request's If-Range
  int64_t body_bytes = 0;  // of the body, as nginx counts what it sent
  std::string etag;           // the response's ETag
  std::string last_modified;  // the response's Last-Modified
};

class NginxProcess {
 public:
  // The nginx binary, "" when there is none.
  static std::string Binary();

  // Serves `root` on a free port of 127.0.0.1; `directives` go into the
  // server block as they are (e.g. "etag off;"). Throws when nginx does
  // not come up.
  explicit NginxProcess(const std::string& root, const std::string& directives = "");
  // Stops it with SIGQUIT (finishing what it sends) and waits for it.
  ~NginxProcess();
  NginxProcess(const NginxProcess&) = delete;
  NginxProcess& operator=(const NginxProcess&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>/"
  std::string http_url() const;
  // The requests logged so far, in the order they ended. nginx writes a
  // line once a request has ended, also one its client broke off.
  std::vector<NginxRequest> Requests() const;
  // The requests of `uri` ("/" and the path as requested).
  std::vector<NginxRequest> RequestsFor(const std::string& uri) const;
  // Stops it now; the log stays readable.
  void Stop();

 private:
  bool Start(const std::string& binary, const std::string& root, const std::string& directives);

  TempDir prefix_;
  int pid_ = -1;
  int port_ = 0;
};

// Parses access-log lines as NginxProcess writes them.
std::vector<NginxRequest> ParseNginxLog(const std::string& log);

}  // namespace quasto::testing

#endif  // QUASTO_TESTS_SUPPORT_NGINX_PROCESS_H_
