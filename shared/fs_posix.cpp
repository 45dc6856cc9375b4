#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "shared/fs.h"
#include "shared/language.h"

namespace quasto::fs {
namespace {

bool IsDir(const std::string& native) {
  struct stat st;
  return stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, std::string_view data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

Failure FailureOf(int error) {
  switch (error) {
    case EBUSY:
    case ETXTBSY:
      return Failure::kInUse;
    case EACCES:
    case EPERM:
    case EROFS:
      return Failure::kDenied;
    case ENOENT:
    case ENOTDIR:
      return Failure::kMissing;
    default:
      return Failure::kOther;
  }
}

bool Failed(Failure* why, Failure what) {
  if (why != nullptr) *why = what;
  return false;
}

}  // namespace

char Separator() { return '/'; }
bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string NativePath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::string ExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

std::string CurrentDirectory() {
  char buf[PATH_MAX];
  if (getcwd(buf, sizeof(buf)) == nullptr) return "";
  return buf;
}

std::string GetEnv(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

bool CanListDirectory(const std::string& path) {
  DIR* d = opendir(NativePath(path).c_str());
  if (d == nullptr) return false;
  closedir(d);
  return true;
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (stat(NativePath(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool ResolvePath(const std::string& path, std::string* out) {
  char* resolved = realpath(NativePath(path).c_str(), nullptr);
  if (resolved == nullptr) return false;
  *out = resolved;
  std::free(resolved);
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat x, y;
  return stat(NativePath(a).c_str(), &x) == 0 && stat(NativePath(b).c_str(), &y) == 0 &&
         x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

bool ListDirectory(const std::string& path, std::vector<DirEntry>* out) {
  out->clear();
  const std::string native = NativePath(path);
  DIR* d = opendir(native.c_str());
  if (d == nullptr) return false;
  std::string base = native;
  if (!base.empty() && base.back() != '/') base.push_back('/');
  while (struct dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    DirEntry entry;
    entry.name = e->d_name;
    if (e->d_type == DT_DIR) {
      entry.is_directory = true;
    } else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      entry.is_directory = IsDir(base + entry.name);
    }
    out->push_back(std::move(entry));
  }
  closedir(d);
  return true;
}

bool MakeDirectory(const std::string& path) {
  const std::string native = NativePath(path);
  if (mkdir(native.c_str(), 0777) == 0) return true;
  return IsDir(native);
}

bool RemoveDir(const std::string& path) {
  return rmdir(NativePath(path).c_str()) == 0;
}

bool RemoveFile(const std::string& path, Failure* why) {
  const std::string native = NativePath(path);
  if (IsDir(native)) return Failed(why, Failure::kDenied);
  if (unlink(native.c_str()) == 0) return true;
  return Failed(why, FailureOf(errno));
}

bool Rename(const std::string& from, const std::string& to) {
  const std::string f = NativePath(from), t = NativePath(to);
  // Windows' MoveFile refuses an existing target; keep that contract.
  struct stat st;
  if (lstat(t.c_str(), &st) == 0) return false;
  return rename(f.c_str(), t.c_str()) == 0;
}

bool ReplaceWith(const std::string& from, const std::string& to, Failure* why) {
  // renameat, which tools that follow a path (strace -P) match by either
  // name; rename they match by its first.
  if (renameat(AT_FDCWD, NativePath(from).c_str(), AT_FDCWD, NativePath(to).c_str()) == 0) {
    return true;
  }
  return Failed(why, FailureOf(errno));
}

bool RemoveAtReboot(const std::string&) { return false; }

bool ReadFile(const std::string& path, std::string* out) {
  const std::string native = NativePath(path);
  int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return false;
  }
  std::string data;
  data.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return false;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  *out = std::move(data);
  return true;
}

bool WriteFile(const std::string& path, std::string_view data) {
  int fd = open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data);
  if (close(fd) != 0) ok = false;
  return ok;
}

bool FlushFiles(const std::vector<std::string>& paths) {
  // syncfs writes out a whole file system in one go, where a flush per file
  // would wait for the disk once for each; since Linux 5.8 it reports a
  // failed write-back like fsync.
  std::vector<dev_t> flushed;
  for (const std::string& path : paths) {
    struct stat st;
    const std::string native = NativePath(path);
    if (stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (std::find(flushed.begin(), flushed.end(), st.st_dev) != flushed.end()) continue;
    const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = syncfs(fd) == 0;
    close(fd);
    if (!ok) return false;
    flushed.push_back(st.st_dev);
  }
  return true;
}

bool WriteFileAtomic(const std::string& path, std::string_view data, bool owner_only) {
  const std::string native = NativePath(path);
  std::string tmp = native + ".tmp~XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) return false;
  // mkstemp creates 0600; a document should get the usual permissions.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, owner_only ? 0600 : 0666 & ~mask);
  bool ok = WriteAll(fd, data) && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), native.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

namespace {

int32_t DateOf(time_t t) {
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) return 0;
  // The local wall-clock fields read as if they were UTC give the date value.
  return static_cast<int32_t>(static_cast<int64_t>(timegm(&local)));
}

int32_t AttributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return kAttrDirectory;
  int32_t attr = kAttrArchive;
  if ((st.st_mode & S_IWUSR) == 0) attr |= kAttrReadOnly;
  return attr;
}

FileStamp StampOf(const struct stat& st) {
  FileStamp s;
  s.size = static_cast<int64_t>(st.st_size);
  s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.change_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return s;
}

void FillInfo(const struct stat& st, PathInfo* out) {
  out->is_directory = S_ISDIR(st.st_mode);
  out->date = DateOf(st.st_mtime);
  out->attributes = AttributesOf(st);
  out->stamp = out->is_directory ? FileStamp() : StampOf(st);
}

}  // namespace

int32_t FileDate(const std::string& path) {
  struct stat st;
  if (stat(NativePath(path).c_str(), &st) != 0) return 0;
  return DateOf(st.st_mtime);
}

Glance GlancePath(const std::string& path) {
  Glance g;
  const std::string native = NativePath(path);
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) return g;
  if (S_ISLNK(st.st_mode)) {
    g.is_link = true;
    if (stat(native.c_str(), &st) != 0) return g;
  }
  g.exists = true;
  g.is_directory = S_ISDIR(st.st_mode);
  g.date = DateOf(st.st_mtime);
  return g;
}

bool SetFileDate(const std::string& path, int32_t date) {
  time_t wall = date;
  struct tm fields;
  if (gmtime_r(&wall, &fields) == nullptr) return false;
  fields.tm_isdst = -1;
  time_t utc = mktime(&fields);
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = utc;
  times[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, NativePath(path).c_str(), times, 0) == 0;
}

int32_t Attributes(const std::string& path) {
  struct stat st;
  if (stat(NativePath(path).c_str(), &st) != 0) return -1;
  return AttributesOf(st);
}

bool SetAttributes(const std::string& path, int32_t attributes) {
  const std::string native = NativePath(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttrReadOnly) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else {
    mode |= S_IWUSR;
  }
  return chmod(native.c_str(), mode) == 0;
}

bool CopyPermissions(const std::string& from, const std::string& to) {
  struct stat st;
  return stat(NativePath(from).c_str(), &st) == 0 &&
         chmod(NativePath(to).c_str(), st.st_mode & 07777) == 0;
}

bool MakeExecutable(const std::string& path) {
  const std::string native = NativePath(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return false;
  const mode_t mode = st.st_mode & 07777;
  return chmod(native.c_str(), mode | ((mode & 0444) >> 2)) == 0;
}

int32_t NowDateValue() {
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return 0;
  return static_cast<int32_t>(static_cast<int64_t>(timegm(&local)));
}

bool StatFile(const std::string& path, FileStamp* out) {
  struct stat st;
  if (stat(NativePath(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  *out = StampOf(st);
  return true;
}

bool StatPath(const std::string& path, PathInfo* out) {
  struct stat st;
  if (stat(NativePath(path).c_str(), &st) != 0) return false;
  FillInfo(st, out);
  return true;
}

bool StatEntry(const std::string& path, EntryInfo* out) {
  *out = EntryInfo();
  const std::string native = NativePath(path);
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    out->is_link = true;
    if (!ResolvePath(path, &out->resolved) || stat(native.c_str(), &st) != 0) {
      out->resolved.clear();
      out->dangling = true;
      return true;
    }
  }
  out->is_special = !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
  FillInfo(st, &out->info);
  return true;
}

bool ReadableByOthers(const std::string& path) {
  struct stat st;
  return stat(NativePath(path).c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

int64_t ClockNowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

ExclusiveLock::Result ExclusiveLock::Acquire(const std::string& path) {
  Release();
  int fd;
  do {
    fd = open(NativePath(path).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Result::kFailed;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return Result::kFailed;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    close(fd);
    return held ? Result::kHeld : Result::kFailed;
  }
  handle_ = fd;
  return Result::kLocked;
}

void ExclusiveLock::Release() {
  if (handle_ >= 0) close(static_cast<int>(handle_));  // drops the lock
  handle_ = -1;
}

int64_t ProcessId() { return static_cast<int64_t>(getpid()); }

uint16_t UserLanguageId() {
  return LanguageIdFromLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                              std::getenv("LANG"));
}

}  // namespace quasto::fs
