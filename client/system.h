// What the client needs of the operating system beyond files: processes,
// the named mutex of the updated program, the network. One implementation
// per platform (system_posix.cpp, system_win32.cpp).
#ifndef QUASTO_CLIENT_SYSTEM_H_
#define QUASTO_CLIENT_SYSTEM_H_

#include <memory>
#include <string>

namespace quasto::client {

class ClientSystem {
 public:
  virtual ~ClientSystem() = default;

  // Starts the sockets layer; false when it is not available.
  virtual bool StartSockets() = 0;
  // True when the machine has a connection to the internet.
  virtual bool IsConnected() = 0;

  enum class MutexResult { kCreated, kAlreadyExists, kFailed };
  // Creates the named mutex and holds it until ReleaseMutex.
  virtual MutexResult CreateNamedMutex(const std::string& name) = 0;
  virtual void ReleaseMutex() = 0;

  // True when a running process's executable has this file name; compared
  // whole and without regard to letter case.
  virtual bool IsProgramRunning(const std::string& exe_name) = 0;

  // Starts a program without waiting: `argument` (may be empty) reaches it
  // as one argument, whatever blanks, quotes and backslashes it holds; the
  // working folder is `folder`. Windows falls back to the shell; POSIX
  // starts only an executable file. When nothing was started, `why_not` may
  // say why (for a console to print).
  virtual bool StartProgram(const std::string& path, const std::string& argument,
                            const std::string& folder, std::string* why_not) = 0;
  // Starts a program without arguments in `folder` and waits until it ends.
  // Falls back to the shell. False when nothing could be started.
  virtual bool RunProgramAndWait(const std::string& path, const std::string& folder) = 0;

  // The bytes the log file holds for a UTF-8 text: the client's single-byte
  // code page on Windows, UTF-8 elsewhere.
  virtual std::string LogEncoding(const std::string& utf8) = 0;
};

std::unique_ptr<ClientSystem> NewClientSystem();

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_SYSTEM_H_
