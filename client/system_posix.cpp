#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/system.h"
#include "shared/fs.h"

extern char** environ;

namespace quasto::client {
namespace {

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

std::string FileName(const std::string& path) {
  size_t pos = path.find_last_of("/\\");
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

// Starts argv[0] in `folder`; returns the child's pid or -1.
pid_t Spawn(const std::vector<std::string>& args, const std::string& folder) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, fs::NativePath(folder).c_str());
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Starts the program itself, or, when it cannot be executed (a script
// without its execute bit, say), hands it to the shell.
pid_t SpawnWithFallback(const std::string& path, const std::string& argument,
                        const std::string& folder) {
  const std::string native = fs::NativePath(path);
  std::vector<std::string> args{native};
  if (!argument.empty()) args.push_back(argument);
  if (access(native.c_str(), X_OK) == 0) {
    pid_t pid = Spawn(args, folder);
    if (pid > 0) return pid;
  }
  args.insert(args.begin(), "/bin/sh");
  return Spawn(args, folder);
}

// A folder that is this user's and writable by nobody else.
bool IsPrivateFolder(const std::string& folder) {
  struct stat st;
  return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 022) == 0;
}

// $XDG_RUNTIME_DIR when it is private, else /tmp/quastorell-<uid>, made
// private; "" when neither is.
std::string MutexFolder() {
  const std::string runtime = fs::GetEnv("XDG_RUNTIME_DIR");
  if (!runtime.empty() && IsPrivateFolder(runtime)) return runtime;
  const std::string own = "/tmp/quastorell-" + std::to_string(geteuid());
  mkdir(own.c_str(), 0700);
  return IsPrivateFolder(own) ? own : "";
}

class PosixSystem : public ClientSystem {
 public:
  ~PosixSystem() override { ReleaseMutex(); }

  bool StartSockets() override { return true; }
  bool IsConnected() override { return true; }

  // The mutex is an advisory lock on a file named after it, which the
  // updated program holds while it runs. It lies in a folder only this user
  // can write to, and is never opened through a link: in a shared folder
  // such as /tmp another user could plant one that leads to any file.
  MutexResult CreateNamedMutex(const std::string& name) override {
    ReleaseMutex();
    const std::string folder = MutexFolder();
    if (folder.empty()) return MutexResult::kFailed;
    std::string file = name;
    for (char& c : file) {
      if (c == '/' || c == '\\') c = '_';
    }
    switch (mutex_.Acquire(folder + "/" + file)) {
      case fs::ExclusiveLock::Result::kLocked:
        return MutexResult::kCreated;
      case fs::ExclusiveLock::Result::kHeld:
        return MutexResult::kAlreadyExists;
      case fs::ExclusiveLock::Result::kFailed:
        break;
    }
    return MutexResult::kFailed;
  }

  void ReleaseMutex() override { mutex_.Release(); }

  bool IsProgramRunning(const std::string& exe_name) override {
    const std::string wanted = Upper(exe_name);
    DIR* d = opendir("/proc");
    if (d == nullptr) return false;
    bool found = false;
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      const std::string base = std::string("/proc/") + e->d_name;
      char buf[PATH_MAX];
      ssize_t n = readlink((base + "/exe").c_str(), buf, sizeof(buf) - 1);
      std::string exe;
      if (n > 0) {
        exe.assign(buf, static_cast<size_t>(n));
      } else {
        // Not our process to inspect: its command line still names it.
        std::string cmdline;
        if (fs::ReadFile(base + "/cmdline", &cmdline)) exe = cmdline.c_str();
      }
      if (!exe.empty() && Upper(FileName(exe)) == wanted) found = true;
    }
    closedir(d);
    return found;
  }

  // The program to restart is named by the configuration, and is often a
  // Windows program: handing that to /bin/sh would run its bytes as a
  // script. Only an executable file is started.
  bool StartProgram(const std::string& path, const std::string& argument,
                    const std::string& folder, std::string* why_not) override {
    const std::string native = fs::NativePath(path);
    struct stat st;
    if (stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        access(native.c_str(), X_OK) != 0) {
      if (why_not) *why_not = "it is not an executable file";
      return false;
    }
    std::vector<std::string> args{native};
    if (!argument.empty()) args.push_back(argument);
    pid_t pid = Spawn(args, folder);
    if (pid <= 0) {
      if (why_not) *why_not = "it could not be started";
      return false;
    }
    // The client ends right after the restart; the child needs no reaping.
    return true;
  }

  bool RunProgramAndWait(const std::string& path, const std::string& folder) override {
    pid_t pid = SpawnWithFallback(path, "", folder);
    if (pid <= 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
  }

  std::string LogEncoding(const std::string& utf8) override { return utf8; }

 private:
  fs::ExclusiveLock mutex_;
};

}  // namespace

std::unique_ptr<ClientSystem> NewClientSystem() { return std::make_unique<PosixSystem>(); }

}  // namespace quasto::client
