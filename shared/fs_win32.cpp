#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>

#include "shared/fs.h"
#include "shared/text.h"

namespace quasto::fs {
namespace {

std::wstring Wide(const std::string& path) {
  std::u16string w = Utf8ToUtf16(NativePath(path));
  return std::wstring(w.begin(), w.end());
}

std::string Narrow(const wchar_t* text, size_t n) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), n));
}

// Owns a file handle.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }
  bool Close() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return CloseHandle(h) != 0;
  }

 private:
  HANDLE h_;
};

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochTicks = 116444736000000000LL;

int64_t Ticks(const FILETIME& ft) {
  return (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME FromTicks(int64_t t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(t) >> 32);
  return ft;
}

int32_t DateFromUtc(const FILETIME& utc) {
  FILETIME local;
  if (!FileTimeToLocalFileTime(&utc, &local)) return 0;
  int64_t secs = (Ticks(local) - kEpochTicks) / 10000000;
  return static_cast<int32_t>(secs);
}

bool WriteAll(HANDLE h, std::string_view data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    left -= written;
  }
  return true;
}

// What a failed call on `target` means. A running program's executable or
// DLL is refused with "access denied" like a read-only file, but unlike one
// it can still be renamed.
Failure FailureOf(DWORD error, const std::string& target) {
  switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return Failure::kInUse;
    case ERROR_ACCESS_DENIED: {
      const DWORD attr = GetFileAttributesW(Wide(target).c_str());
      if (attr == INVALID_FILE_ATTRIBUTES) return Failure::kDenied;
      if (attr & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return Failure::kDenied;
      return Failure::kInUse;
    }
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return Failure::kMissing;
    default:
      return Failure::kOther;
  }
}

}  // namespace

char Separator() { return '\\'; }
bool IsSeparator(char c) { return c == '/' || c == '\\'; }
std::string NativePath(std::string_view path) { return std::string(path); }

std::string ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return "";
    if (n < buf.size()) return Narrow(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

std::string CurrentDirectory() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return "";
  std::wstring buf(n, L'\0');
  n = GetCurrentDirectoryW(n, buf.data());
  return Narrow(buf.data(), n);
}

std::string GetEnv(const char* name) {
  std::u16string wname = Utf8ToUtf16(name);
  const wchar_t* wn = reinterpret_cast<const wchar_t*>(wname.c_str());
  DWORD n = GetEnvironmentVariableW(wn, nullptr, 0);
  if (n == 0) return "";
  std::wstring buf(n, L'\0');
  n = GetEnvironmentVariableW(wn, buf.data(), n);
  return Narrow(buf.data(), n);
}

bool CanListDirectory(const std::string& path) {
  std::string pattern = path;
  if (pattern.empty() || !IsSeparator(pattern.back())) pattern.push_back('\\');
  pattern += "*.*";
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(Wide(pattern).c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  FindClose(h);
  return true;
}

int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

namespace {

// Opens a file or folder for its metadata only, following reparse points,
// whatever share mode others hold it with.
HANDLE OpenForInfo(const std::string& path) {
  return CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The path an open handle names, every link on the way followed.
bool FinalPath(HANDLE h, std::string* out) {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return false;
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(n + 1);
  }
  // "\\?\C:\x" and "\\?\UNC\server\share\x" in the form the logic uses.
  if (buf.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    buf = L"\\\\" + buf.substr(8);
  } else if (buf.compare(0, 4, L"\\\\?\\") == 0) {
    buf = buf.substr(4);
  }
  *out = Narrow(buf.data(), buf.size());
  return true;
}

}  // namespace

bool ResolvePath(const std::string& path, std::string* out) {
  Handle h(OpenForInfo(path));
  return h.valid() && FinalPath(h.get(), out);
}

bool SameFile(const std::string& a, const std::string& b) {
  Handle ha(OpenForInfo(a));
  Handle hb(OpenForInfo(b));
  BY_HANDLE_FILE_INFORMATION x, y;
  return ha.valid() && hb.valid() && GetFileInformationByHandle(ha.get(), &x) &&
         GetFileInformationByHandle(hb.get(), &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

Glance GlancePath(const std::string& path) {
  Glance g;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return g;
  g.exists = true;
  g.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  g.is_link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  g.date = DateFromUtc(data.ftLastWriteTime);
  return g;
}

bool ListDirectory(const std::string& path, std::vector<DirEntry>* out) {
  out->clear();
  std::string pattern = path;
  if (pattern.empty() || !IsSeparator(pattern.back())) pattern.push_back('\\');
  pattern += "*.*";
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(Wide(pattern).c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  do {
    if (wcscmp(fd.cFileName, L".") == 0 || wcscmp(fd.cFileName, L"..") == 0) continue;
    DirEntry e;
    e.name = Narrow(fd.cFileName, wcslen(fd.cFileName));
    e.is_directory = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    out->push_back(std::move(e));
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return true;
}

bool MakeDirectory(const std::string& path) {
  std::wstring w = Wide(path);
  if (CreateDirectoryW(w.c_str(), nullptr)) return true;
  DWORD attr = GetFileAttributesW(w.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool RemoveDir(const std::string& path) {
  return RemoveDirectoryW(Wide(path).c_str()) != 0;
}

bool RemoveFile(const std::string& path, Failure* why) {
  if (DeleteFileW(Wide(path).c_str())) return true;
  const DWORD error = GetLastError();
  if (why != nullptr) *why = FailureOf(error, path);
  return false;
}

bool Rename(const std::string& from, const std::string& to) {
  return MoveFileW(Wide(from).c_str(), Wide(to).c_str()) != 0;
}

bool ReplaceWith(const std::string& from, const std::string& to, Failure* why) {
  if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  const DWORD error = GetLastError();
  if (why != nullptr) *why = FileSize(from) < 0 ? Failure::kMissing : FailureOf(error, to);
  return false;
}

bool RemoveAtReboot(const std::string& path) {
  // Needs the right to write the machine's settings, which a user rarely has.
  return MoveFileExW(Wide(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

bool ReadFile(const std::string& path, std::string* out) {
  Handle h(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h.get(), &size)) return false;
  std::string data;
  data.reserve(static_cast<size_t>(size.QuadPart));
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h.get(), buf, sizeof(buf), &n, nullptr)) return false;
    if (n == 0) break;
    data.append(buf, n);
  }
  *out = std::move(data);
  return true;
}

bool WriteFile(const std::string& path, std::string_view data) {
  Handle h(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return false;
  bool ok = WriteAll(h.get(), data);
  if (!h.Close()) ok = false;
  return ok;
}

bool FlushFiles(const std::vector<std::string>& paths) {
  // Windows flushes one file at a time; done here in one pass, the waits
  // come together instead of between the downloads.
  for (const std::string& path : paths) {
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = FlushFileBuffers(h) != 0;
    CloseHandle(h);
    if (!ok) return false;
  }
  return true;
}

bool WriteFileAtomic(const std::string& path, std::string_view data, bool) {
  std::string tmp = path + ".tmp~" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(GetTickCount());
  {
    Handle h(CreateFileW(Wide(tmp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return false;
    bool ok = WriteAll(h.get(), data) && FlushFileBuffers(h.get());
    if (!h.Close()) ok = false;
    if (!ok) {
      DeleteFileW(Wide(tmp).c_str());
      return false;
    }
  }
  if (ReplaceWith(tmp, path)) return true;
  DeleteFileW(Wide(tmp).c_str());
  return false;
}

int32_t FileDate(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return DateFromUtc(data.ftLastWriteTime);
}

bool SetFileDate(const std::string& path, int32_t date) {
  FILETIME local = FromTicks(static_cast<int64_t>(date) * 10000000 + kEpochTicks);
  FILETIME utc;
  if (!LocalFileTimeToFileTime(&local, &utc)) return false;
  Handle h(CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.valid()) return false;
  return SetFileTime(h.get(), nullptr, nullptr, &utc) != 0;
}

int32_t Attributes(const std::string& path) {
  DWORD attr = GetFileAttributesW(Wide(path).c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return -1;
  return static_cast<int32_t>(attr);
}

bool SetAttributes(const std::string& path, int32_t attributes) {
  return SetFileAttributesW(Wide(path).c_str(), static_cast<DWORD>(attributes)) != 0;
}

bool CopyPermissions(const std::string&, const std::string&) { return true; }
bool MakeExecutable(const std::string&) { return true; }

int32_t NowDateValue() {
  FILETIME utc;
  GetSystemTimeAsFileTime(&utc);
  return DateFromUtc(utc);
}

namespace {

// StatPath's work on a handle opened by OpenForInfo, or by the path alone
// when none could be had.
bool FillInfo(HANDLE h, const std::wstring& w, PathInfo* out) {
  FILE_BASIC_INFO basic;
  LARGE_INTEGER size;
  FILETIME write;
  if (h != INVALID_HANDLE_VALUE &&
      GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) &&
      GetFileSizeEx(h, &size)) {
    write = FromTicks(basic.LastWriteTime.QuadPart);
    out->attributes = static_cast<int32_t>(basic.FileAttributes);
    out->stamp.size = size.QuadPart;
    out->stamp.mtime_ns = (basic.LastWriteTime.QuadPart - kEpochTicks) * 100;
    out->stamp.change_ns = (basic.ChangeTime.QuadPart - kEpochTicks) * 100;
  } else {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) return false;
    write = data.ftLastWriteTime;
    out->attributes = static_cast<int32_t>(data.dwFileAttributes);
    out->stamp.size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    out->stamp.mtime_ns = (Ticks(data.ftLastWriteTime) - kEpochTicks) * 100;
    out->stamp.change_ns = (Ticks(data.ftCreationTime) - kEpochTicks) * 100;
  }
  out->is_directory = (out->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out->date = DateFromUtc(write);
  if (out->is_directory) out->stamp = FileStamp();
  return true;
}

}  // namespace

bool StatPath(const std::string& path, PathInfo* out) {
  // The change time moves with every write and every change of the file's
  // times, and no ordinary program sets it back; reading it takes a handle,
  // which attribute-only access gets whatever the file's share mode.
  Handle h(OpenForInfo(path));
  return FillInfo(h.valid() ? h.get() : INVALID_HANDLE_VALUE, Wide(path), out);
}

bool StatEntry(const std::string& path, EntryInfo* out) {
  *out = EntryInfo();
  const std::wstring w = Wide(path);
  // The entry itself: a reparse point is not followed for its attributes.
  const DWORD own = GetFileAttributesW(w.c_str());
  if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(w.c_str(), &fd);
    DWORD tag = 0;
    if (find != INVALID_HANDLE_VALUE) {
      tag = fd.dwReserved0;
      FindClose(find);
    }
    // Wine marks host links to folders with no tag at all. Other reparse
    // points (deduplicated or cloud files) are the files themselves.
    out->is_link = tag == 0 || IsReparseTagNameSurrogate(tag);
  }
  Handle h(OpenForInfo(path));
  if (!h.valid()) {
    if (out->is_link) {
      out->dangling = true;
      return true;
    }
    return own != INVALID_FILE_ATTRIBUTES && FillInfo(INVALID_HANDLE_VALUE, w, &out->info);
  }
  // Pipes and character devices (Wine shows a host FIFO as a pipe).
  out->is_special = GetFileType(h.get()) != FILE_TYPE_DISK;
  if (!FinalPath(h.get(), &out->resolved)) out->resolved.clear();
  // A pipe has no times or size to tell; it is there, and that is enough.
  return FillInfo(h.get(), w, &out->info) || out->is_special;
}

bool ReadableByOthers(const std::string&) {
  // Access to a file is decided by its ACL, which inherits the folder's:
  // there are no permission bits to check.
  return false;
}

bool StatFile(const std::string& path, FileStamp* out) {
  PathInfo info;
  if (!StatPath(path, &info) || info.is_directory) return false;
  *out = info.stamp;
  return true;
}

int64_t ClockNowNs() {
  FILETIME utc;
  GetSystemTimeAsFileTime(&utc);
  return (Ticks(utc) - kEpochTicks) * 100;
}

ExclusiveLock::Result ExclusiveLock::Acquire(const std::string& path) {
  Release();
  // No sharing at all: while it is open, every other open fails. A reparse
  // point in its place is opened as itself and refused.
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? Result::kHeld
                                                                               : Result::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    CloseHandle(h);
    return Result::kFailed;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return Result::kLocked;
}

void ExclusiveLock::Release() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

int64_t ProcessId() { return static_cast<int64_t>(GetCurrentProcessId()); }

uint16_t UserLanguageId() { return GetUserDefaultLangID(); }

}  // namespace quasto::fs
