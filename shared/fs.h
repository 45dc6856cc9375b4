// The file system and process environment as both programs see them. One
// implementation file per platform: fs_posix.cpp and fs_win32.cpp.
//
// Paths are UTF-8. The logic builds them the Windows way ("\" separators,
// folders ending in "\"); on POSIX every "\" is taken as "/" here, at the
// boundary, and nowhere else.
#ifndef QUASTO_SHARED_FS_H_
#define QUASTO_SHARED_FS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quasto::fs {

// The separator this platform's own paths use ("\" or "/").
char Separator();
// True for "\" everywhere, and for "/" too on POSIX and Windows alike.
bool IsSeparator(char c);
// The path as the platform's file functions take it.
std::string NativePath(std::string_view path);

// Full path of the running program's executable, "" when unknown.
std::string ExecutablePath();
// The process's current directory, "" when unknown.
std::string CurrentDirectory();
// An environment variable, "" when unset.
std::string GetEnv(const char* name);

// True when the path names a directory whose listing can be started.
bool CanListDirectory(const std::string& path);
// Size of a file, or -1 for a directory or a missing path.
int64_t FileSize(const std::string& path);

struct DirEntry {
  std::string name;
  bool is_directory = false;
};
// The path of an existing file or folder with every link, junction and
// reparse point on the way followed, absolute, in the platform's form. False
// when it does not exist (a link that leads nowhere included).
bool ResolvePath(const std::string& path, std::string* out);
// True when both paths exist and name the same file or folder (one may be a
// link to the other, another spelling of it, or a hard link).
bool SameFile(const std::string& a, const std::string& b);

// What one look at a path says without opening it: whether something is
// there (a link: whether its target is), whether that is a folder, whether
// the path itself is a link, junction or other reparse point, and its
// last-write date as FileDate gives it. One system call where the path is
// no link; a caller that walks a large manifest takes this instead of
// several.
struct Glance {
  bool exists = false;
  bool is_directory = false;
  bool is_link = false;
  int32_t date = 0;  // 0 when nothing is there
};
Glance GlancePath(const std::string& path);

// Entries of a directory without "." and "..". False when it cannot be listed.
bool ListDirectory(const std::string& path, std::vector<DirEntry>* out);

// Why a file operation failed, as far as the caller can act on it.
enum class Failure {
  kNone,
  kInUse,    // a running program holds the file: it can still be renamed
  kDenied,   // no permission, a read-only file or medium
  kMissing,  // the path (or its folder) does not exist
  kOther,
};

// Creates one directory. True when it exists as a directory afterwards.
bool MakeDirectory(const std::string& path);
bool RemoveDir(const std::string& path);
bool RemoveFile(const std::string& path, Failure* why = nullptr);
// Plain rename; fails when `to` exists.
bool Rename(const std::string& from, const std::string& to);
// Moves `from` over `to` in one step, replacing it; never leaves `to` missing.
bool ReplaceWith(const std::string& from, const std::string& to, Failure* why = nullptr);
// Asks the system to delete the file when it next starts: the last resort for
// a file that stays in use. False where the system cannot (or need not) do
// that: POSIX deletes files in use at once.
bool RemoveAtReboot(const std::string& path);

bool ReadFile(const std::string& path, std::string* out);
// Creates or truncates the file and writes all of `data`.
bool WriteFile(const std::string& path, std::string_view data);
// Writes a temporary file beside `path`, flushes it to disk and moves it over
// `path`. On failure the previous file is untouched and no temporary remains.
// `owner_only`: readable by the user alone (a secret key); on Windows the
// folder's permissions apply either way.
bool WriteFileAtomic(const std::string& path, std::string_view data, bool owner_only = false);

// Brings files written without a flush (OutputFile::CloseUnflushed) to disk,
// all at once: one flush of each file system they lie on where the system
// has one, else one per file. False when any of them could not be opened
// or flushed: they may not be on disk. Windows flushes only what it may
// write: a file is made read-only after it is flushed.
bool FlushFiles(const std::vector<std::string>& paths);

// Last-write time as a date value: seconds since 1970-01-01 00:00:00 of local
// wall-clock time. 0 for a missing path.
int32_t FileDate(const std::string& path);
// Sets the last-write time from a date value; access and creation times stay.
bool SetFileDate(const std::string& path, int32_t date);

// Windows attribute bits. On POSIX: read-only (1) maps to the write
// permission, directory (0x10), and archive (0x20) for every file.
inline constexpr int32_t kAttrReadOnly = 0x01;
inline constexpr int32_t kAttrDirectory = 0x10;
inline constexpr int32_t kAttrArchive = 0x20;
int32_t Attributes(const std::string& path);  // -1 for a missing path
bool SetAttributes(const std::string& path, int32_t attributes);

// POSIX permission bits, which Windows files do not have (there both do
// nothing and succeed): `to` gets the permission bits of `from`; `path`
// becomes executable for whoever may read it.
bool CopyPermissions(const std::string& from, const std::string& to);
bool MakeExecutable(const std::string& path);

// The current local time as a date value.
int32_t NowDateValue();

// What a file looks like from outside, with the file system's full
// resolution. Two equal stamps of one path vouch (short of deliberate
// tampering) that its content did not change in between. Times are
// nanoseconds since 1970-01-01 UTC; `change` is the change time, which
// every write and every change of the file's times moves on, so a file
// rewritten with its old size and date still gets another stamp.
struct FileStamp {
  int64_t size = -1;
  int64_t mtime_ns = 0;
  int64_t change_ns = 0;
  bool operator==(const FileStamp&) const = default;
};
// False for a missing path or a directory.
bool StatFile(const std::string& path, FileStamp* out);

// Everything a folder scan wants of one entry, read at once.
struct PathInfo {
  bool is_directory = false;
  int32_t date = 0;        // as FileDate
  int32_t attributes = 0;  // as Attributes
  FileStamp stamp;         // files only; size -1 for a directory
};
bool StatPath(const std::string& path, PathInfo* out);

// One entry of a folder as a scan that must not leave its folder sees it.
struct EntryInfo {
  PathInfo info;  // of what the entry leads to, a link followed
  // The entry itself is a symbolic link, junction or other reparse point
  // that names another path.
  bool is_link = false;
  bool dangling = false;  // a link whose target is missing; `info` is empty
  // What it leads to is neither a regular file nor a folder: a FIFO, socket
  // or device, which must never be opened for reading (a FIFO blocks).
  bool is_special = false;
  // Where it leads, absolute in the form of ResolvePath, with every link on
  // the way followed. Always set on Windows (where host links seen through
  // Wine carry no reparse mark, so only the final path tells); on POSIX only
  // for a link, "" meaning the entry is where it is listed.
  std::string resolved;
};
// False when the entry is not there at all.
bool StatEntry(const std::string& path, EntryInfo* out);

// True when the file's permissions let users other than its owner read it
// (POSIX group or other read bits). Windows files have no such bits: false.
bool ReadableByOthers(const std::string& path);
// The wall clock on the scale of FileStamp's times.
int64_t ClockNowNs();

// An exclusive lock on a file, held for as long as the object lives (or
// until Release). The file is made when missing and stays; it is never
// opened through a link. Other processes, and other locks of this process,
// find it held.
class ExclusiveLock {
 public:
  enum class Result { kLocked, kHeld, kFailed };
  ExclusiveLock() = default;
  ~ExclusiveLock() { Release(); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  // kHeld: someone else holds it; kFailed: it could not be made or opened
  // (a missing folder, a read-only medium, a link in its place).
  Result Acquire(const std::string& path);
  void Release();

 private:
  intptr_t handle_ = -1;
};

// This process's identifier, as the system's tools show it.
int64_t ProcessId();

// The user's language identifier: Windows' GetUserDefaultLangID; on POSIX
// 0x0407 when LC_ALL, else LC_MESSAGES, else LANG starts with "de", 0x0409
// otherwise.
uint16_t UserLanguageId();

}  // namespace quasto::fs

#endif  // QUASTO_SHARED_FS_H_
