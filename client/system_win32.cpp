#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <wininet.h>

#include "client/ansi_win32.h"
#include "client/command_line.h"
#include "client/system.h"

namespace quasto::client {
namespace {

using SnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using WalkFn = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32W*);

std::wstring Upper(std::wstring s) {
  if (!s.empty()) CharUpperW(s.data());
  return s;
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

class Win32System : public ClientSystem {
 public:
  ~Win32System() override {
    ReleaseMutex();
    if (sockets_) WSACleanup();
  }

  bool StartSockets() override {
    WSADATA data;
    sockets_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
    return sockets_;
  }

  bool IsConnected() override { return InternetGetConnectedState(nullptr, 0) != 0; }

  // The name as the program wrote it: an ANSI conversion could make another.
  MutexResult CreateNamedMutex(const std::string& name) override {
    ReleaseMutex();
    HANDLE h = CreateMutexW(nullptr, FALSE, Utf8ToWide(name).c_str());
    const DWORD error = GetLastError();
    mutex_ = h;
    if (h == nullptr) return MutexResult::kFailed;
    return error == ERROR_ALREADY_EXISTS ? MutexResult::kAlreadyExists : MutexResult::kCreated;
  }

  void ReleaseMutex() override {
    if (mutex_ != nullptr) {
      ::ReleaseMutex(mutex_);
      CloseHandle(mutex_);
      mutex_ = nullptr;
    }
  }

  // Toolhelp is looked up at run time, so the client starts on systems
  // without it and then simply finds nothing.
  bool IsProgramRunning(const std::string& exe_name) override {
    HMODULE kernel = LoadLibraryW(L"Kernel32.dll");
    if (kernel == nullptr) return false;
    auto snapshot = reinterpret_cast<SnapshotFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "CreateToolhelp32Snapshot")));
    auto first = reinterpret_cast<WalkFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "Process32FirstW")));
    auto next = reinterpret_cast<WalkFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "Process32NextW")));
    bool found = false;
    if (snapshot && first && next) {
      HANDLE snap = snapshot(TH32CS_SNAPPROCESS, 0);
      if (snap != INVALID_HANDLE_VALUE) {
        const std::wstring wanted = Upper(Utf8ToWide(exe_name));
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof(entry);
        for (BOOL ok = first(snap, &entry); ok; ok = next(snap, &entry)) {
          std::wstring exe = Upper(entry.szExeFile);
          size_t cut = exe.find_last_of(L"\\/");
          if (cut != std::wstring::npos) exe = exe.substr(cut + 1);
          if (exe == wanted) found = true;
        }
        CloseHandle(snap);
      }
    }
    FreeLibrary(kernel);
    return found;
  }

  bool StartProgram(const std::string& path, const std::string& argument,
                    const std::string& folder, std::string*) override {
    HANDLE process = Start(path, argument, folder);
    if (process == nullptr) return false;
    CloseHandle(process);
    return true;
  }

  bool RunProgramAndWait(const std::string& path, const std::string& folder) override {
    HANDLE process = Start(path, "", folder);
    if (process == nullptr) return false;
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    return true;
  }

  // The log holds the client's single-byte texts; what the code page lacks
  // is shown as "?".
  std::string LogEncoding(const std::string& utf8) override { return Utf8ToAnsi(utf8); }

 private:
  // CreateProcess with the quoted path and the argument, quoted so that the
  // program's CommandLineToArgvW (or C runtime) gives it back whole; when
  // that fails, the shell opens the file with the same parameters. Returns
  // the process or nullptr.
  // The W functions take the names as they are: through the ANSI code page a
  // folder named in Cyrillic would not be found on a Western system, and a
  // look-alike of "\" would become one.
  HANDLE Start(const std::string& path, const std::string& argument, const std::string& folder) {
    const std::wstring file = Utf8ToWide(path);
    const std::wstring dir = Utf8ToWide(folder);
    const std::wstring params = argument.empty() ? L"" : Utf8ToWide(QuoteArgument(argument));
    std::wstring command = Quoted(file);
    if (!params.empty()) command += L" " + params;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       dir.empty() ? nullptr : dir.c_str(), &si, &pi)) {
      CloseHandle(pi.hThread);
      return pi.hProcess;
    }
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    // No message box of the shell's own: the client says what did not start.
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    sei.lpVerb = L"open";
    sei.lpFile = file.c_str();
    sei.lpParameters = params.empty() ? nullptr : params.c_str();
    sei.lpDirectory = dir.empty() ? nullptr : dir.c_str();
    sei.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&sei)) return nullptr;
    // The shell may hand the file to a program that is already running.
    // Nothing to wait for then: a signalled event stands in for the process.
    if (sei.hProcess == nullptr) return CreateEventW(nullptr, TRUE, TRUE, nullptr);
    return sei.hProcess;
  }

  HANDLE mutex_ = nullptr;
  bool sockets_ = false;
};

}  // namespace

std::unique_ptr<ClientSystem> NewClientSystem() { return std::make_unique<Win32System>(); }

}  // namespace quasto::client
