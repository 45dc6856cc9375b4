#include <windows.h>

#include <vector>

#include "shared/fs.h"
#include "shared/test_util.h"
#include "shared/text.h"

namespace quasto::testing {
namespace {

std::wstring Wide(const std::string& s) {
  std::u16string w = Utf8ToUtf16(s);
  return std::wstring(w.begin(), w.end());
}

// The Unix path Wine maps a Windows path to; "" outside Wine.
std::string HostPath(const std::string& path) {
  using Fn = char*(CDECL*)(LPCWSTR);
  static const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (fn == nullptr) return "";
  char* unix_path = fn(Wide(path).c_str());
  if (unix_path == nullptr) return "";
  std::string out = unix_path;
  HeapFree(GetProcessHeap(), 0, unix_path);
  return out;
}

// Starts a program of the host through its shell (Wine runs the Unix
// programs it is handed) and waits until the shell has written the
// program's exit status: Wine gives no waitable handle for such a process.
bool RunOnHost(const std::vector<std::string>& argv) {
  static int counter = 0;
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) return false;
  const std::string marker = Utf16ToUtf8(std::u16string(temp, temp + n)) + "quasto-host-" +
                             std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(counter++) + ".rc";
  const std::string host_marker = HostPath(marker);
  if (host_marker.empty()) return false;
  std::string script;
  for (const std::string& a : argv) {
    if (a.find_first_of("'\"") != std::string::npos) return false;
    script += std::string(script.empty() ? "'" : " '") + a + "'";
  }
  script += "; echo $? > '" + host_marker + "'";
  std::wstring cmd = Wide(std::string("/bin/sh -c \"") + script + "\"");
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(L"Z:\\bin\\sh", cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    return false;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  std::string status;
  for (int waited = 0; waited < 30000; waited += 10) {
    if (fs::ReadFile(marker, &status) && status.find('\n') != std::string::npos) break;
    Sleep(10);
  }
  fs::RemoveFile(marker);
  return status == "0\n";
}

// The host's name for a file that may not exist yet, or exists in another
// letter case: Wine would give the existing one's name.
std::string HostPathOfNew(const std::string& path) {
  std::string folder = path;
  while (!folder.empty() && fs::IsSeparator(folder.back())) folder.pop_back();
  const size_t cut = folder.find_last_of("\\/");
  if (cut == std::string::npos) return "";
  const std::string host_folder = HostPath(folder.substr(0, cut + 1));
  return host_folder.empty() ? "" : host_folder + "/" + folder.substr(cut + 1);
}

bool IsAbsolute(const std::string& path) {
  return (path.size() >= 2 && path[1] == ':') || (!path.empty() && fs::IsSeparator(path[0]));
}

}  // namespace

bool MakeSymlink(const std::string& target, const std::string& link) {
  std::string host_target = IsAbsolute(target) ? HostPath(target) : target;
  for (char& c : host_target) {
    if (c == '\\') c = '/';
  }
  const std::string host_link = HostPathOfNew(link);
  if (host_target.empty() || host_link.empty()) return false;
  return RunOnHost({"/bin/ln", "-s", host_target, host_link});
}

bool MakeFifo(const std::string& path) {
  const std::string host = HostPathOfNew(path);
  fs::EntryInfo info;
  return !host.empty() && RunOnHost({"/usr/bin/mkfifo", host}) && fs::StatEntry(path, &info);
}

bool RemoveSymlink(const std::string& link) {
  const std::string host = HostPath(link);
  return !host.empty() && RunOnHost({"/bin/rm", "-f", host});
}

void RemoveLeftoversOnHost(const std::string& folder) {
  // rm never follows a link, so nothing outside the folder can go.
  const std::string host = HostPath(folder);
  if (!host.empty() && host != "/") RunOnHost({"/bin/rm", "-rf", host});
}

bool RenameOnHost(const std::string& from, const std::string& to) {
  const std::string host_from = HostPath(from), host_to = HostPathOfNew(to);
  return !host_from.empty() && !host_to.empty() && RunOnHost({"/bin/mv", host_from, host_to});
}

}  // namespace quasto::testing
