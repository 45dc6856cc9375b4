#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tests/support/server_process.h"

extern char** environ;

namespace quasto::testing {
namespace {

std::vector<char*> Pointers(const std::vector<std::string>& v) {
  std::vector<char*> out;
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::string SourceDir() { return QUASTO_SOURCE_DIR; }

ServerProcess::ServerProcess(const std::string& script, const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/python3", SourceDir() + "/tests/servers/" + script};
  argv.insert(argv.end(), args.begin(), args.end());
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  pid_t pid;
  auto a = Pointers(argv);
  int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, a.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot start " + script);
  }
  pid_ = pid;
  // No deadline: a first start on a new machine (cold Python, cold caches)
  // may be slow, and a server that cannot start ends, which closes the pipe.
  std::string line;
  while (line.find('\n') == std::string::npos) {
    char buf[256];
    ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (line.rfind("PORT ", 0) != 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error(script + " did not start: " + line);
  }
  port_ = std::stoi(line.substr(5));
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

std::string ServerProcess::http_url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

// This process's environment with `extra` ("NAME=value") in place of the
// variables of the same name.
static std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    const std::string var = *e;
    const std::string name = var.substr(0, var.find('=') + 1);
    bool replaced = false;
    for (const std::string& x : extra) replaced = replaced || x.compare(0, name.size(), name) == 0;
    if (!replaced) out.push_back(var);
  }
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

int StartChild(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  std::vector<std::string> environment = Environment(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  auto a = Pointers(argv);
  auto envp = Pointers(environment);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, a.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

void KillChild(int pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

int RunProgram(const std::vector<std::string>& argv, std::string* output, const std::string& input,
               const std::vector<std::string>& env) {
  int out[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  if (pipe2(in, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  std::vector<std::string> environment = Environment(env);
  auto a = Pointers(argv);
  auto envp = Pointers(environment);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, a.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(in[0]);
  if (rc != 0) {
    close(out[0]);
    close(in[1]);
    return -1;
  }
  signal(SIGPIPE, SIG_IGN);  // the child may end before it reads everything
  if (!input.empty()) {
    ssize_t ignored = write(in[1], input.data(), input.size());
    (void)ignored;
  }
  close(in[1]);
  char buf[4096];
  for (;;) {
    ssize_t n = read(out[0], buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output) output->append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace quasto::testing
