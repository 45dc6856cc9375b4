#include "shared/file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "shared/fs.h"

namespace quasto::fs {

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const std::string& path) {
  Close();
  int fd;
  // Without O_NONBLOCK, opening a FIFO waits for a writer, maybe for ever.
  do {
    fd = ::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  const int flags = ::fcntl(fd, F_GETFL);
  // Only a regular file has content to read; a FIFO, socket or device is no
  // file of a release.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

int64_t InputFile::Read(void* buf, size_t size) {
  if (handle_ < 0) return -1;
  for (;;) {
    ssize_t n = ::read(static_cast<int>(handle_), buf, size);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

int64_t InputFile::ReadAt(uint64_t offset, void* buf, size_t size) {
  if (handle_ < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return -1;
  for (;;) {
    ssize_t n = ::pread(static_cast<int>(handle_), buf, size, static_cast<off_t>(offset));
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

void InputFile::Close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

OutputFile::~OutputFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool OutputFile::Create(const std::string& path) {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  int fd;
  do {
    fd = ::open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  handle_ = fd;
  return fd >= 0;
}

bool OutputFile::Write(const void* data, size_t size) {
  if (handle_ < 0) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(static_cast<int>(handle_), p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool OutputFile::WriteAt(uint64_t offset, const void* data, size_t size) {
  if (handle_ < 0) return false;
  int fd = static_cast<int>(handle_);
  off_t end = ::lseek(fd, 0, SEEK_CUR);
  if (end < 0 || ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
  bool ok = Write(data, size);
  return ::lseek(fd, end, SEEK_SET) >= 0 && ok;
}

bool OutputFile::Close() {
  if (handle_ < 0) return false;
  int fd = static_cast<int>(handle_);
  handle_ = -1;
  bool ok = ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

bool OutputFile::CloseUnflushed() {
  if (handle_ < 0) return false;
  int fd = static_cast<int>(handle_);
  handle_ = -1;
  return ::close(fd) == 0;
}

}  // namespace quasto::fs
