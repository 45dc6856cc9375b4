#include "shared/file_stream.h"

#include <windows.h>

#include "shared/fs.h"
#include "shared/text.h"

namespace quasto::fs {
namespace {

std::wstring Wide(const std::string& path) {
  std::u16string w = Utf8ToUtf16(NativePath(path));
  return std::wstring(w.begin(), w.end());
}

HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
intptr_t I(HANDLE h) { return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(h); }

}  // namespace

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const std::string& path) {
  Close();
  // Reading never stops another program from renaming or deleting the file.
  handle_ = I(CreateFileW(Wide(path).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  // A pipe or device has no content to read and may wait for ever (Wine
  // opens a host FIFO as a pipe).
  if (handle_ != -1 && GetFileType(H(handle_)) != FILE_TYPE_DISK) Close();
  return handle_ != -1;
}

int64_t InputFile::Read(void* buf, size_t size) {
  if (handle_ == -1) return -1;
  DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!::ReadFile(H(handle_), buf, chunk, &got, nullptr)) return -1;
  return got;
}

int64_t InputFile::ReadAt(uint64_t offset, void* buf, size_t size) {
  if (handle_ == -1 || offset > static_cast<uint64_t>(INT64_MAX)) return -1;
  DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!::ReadFile(H(handle_), buf, chunk, &got, &at)) {
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return got;
}

void InputFile::Close() {
  if (handle_ != -1) CloseHandle(H(handle_));
  handle_ = -1;
}

OutputFile::~OutputFile() {
  if (handle_ != -1) CloseHandle(H(handle_));
}

bool OutputFile::Create(const std::string& path) {
  if (handle_ != -1) CloseHandle(H(handle_));
  handle_ = I(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  return handle_ != -1;
}

bool OutputFile::Write(const void* data, size_t size) {
  if (handle_ == -1) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(H(handle_), p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

bool OutputFile::WriteAt(uint64_t offset, const void* data, size_t size) {
  if (handle_ == -1) return false;
  LARGE_INTEGER zero{}, end{}, at{};
  if (!SetFilePointerEx(H(handle_), zero, &end, FILE_CURRENT)) return false;
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(H(handle_), at, nullptr, FILE_BEGIN)) return false;
  bool ok = Write(data, size);
  return SetFilePointerEx(H(handle_), end, nullptr, FILE_BEGIN) && ok;
}

bool OutputFile::Close() {
  if (handle_ == -1) return false;
  HANDLE h = H(handle_);
  handle_ = -1;
  bool ok = FlushFileBuffers(h) != 0;
  return CloseHandle(h) != 0 && ok;
}

bool OutputFile::CloseUnflushed() {
  if (handle_ == -1) return false;
  HANDLE h = H(handle_);
  handle_ = -1;
  return CloseHandle(h) != 0;
}

}  // namespace quasto::fs
