// Starts a test server (a Python script of tests/servers) as a child process
// and stops it again. POSIX only.
#ifndef QUASTO_TESTS_SUPPORT_SERVER_PROCESS_H_
#define QUASTO_TESTS_SUPPORT_SERVER_PROCESS_H_

#include <string>
#include <vector>

namespace quasto::testing {

// The source tree's folder, for scripts and data.
std::string SourceDir();

class ServerProcess {
 public:
  // Runs /usr/bin/python3 tests/servers/<script> with `args` and waits for
  // the line "PORT <n>". Throws when the server does not come up.
  ServerProcess(const std::string& script, const std::vector<std::string>& args);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>/"
  std::string http_url() const;

 private:
  int pid_ = -1;
  int port_ = 0;
};

// Starts a program with its output discarded; returns its pid or -1.
int StartChild(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
// Kills a child with SIGKILL and reaps it.
void KillChild(int pid);

// Runs a program to its end and returns its exit status (-1 when it could not
// be started or was killed); its output is appended to *output when given.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr,
               const std::string& input = "", const std::vector<std::string>& env = {});

}  // namespace quasto::testing

#endif  // QUASTO_TESTS_SUPPORT_SERVER_PROCESS_H_
