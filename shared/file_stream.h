// Files read and written piece by piece, for content too large to hold in
// memory. One implementation file per platform.
#ifndef QUASTO_SHARED_FILE_STREAM_H_
#define QUASTO_SHARED_FILE_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace quasto::fs {

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool Open(const std::string& path);
  // Bytes read into buf (0 at the end), or -1 on a read error.
  int64_t Read(void* buf, size_t size);
  // Bytes read at `offset` from the start (0 past the end), or -1 on a read
  // error. Moves the position that Read continues from.
  int64_t ReadAt(uint64_t offset, void* buf, size_t size);
  void Close();

 private:
  intptr_t handle_ = -1;
};

class OutputFile {
 public:
  OutputFile() = default;
  // Closes the file; an unfinished file is left as it is.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file, replacing any file of that name.
  bool Create(const std::string& path);
  bool Write(const void* data, size_t size);
  // Overwrites bytes at `offset` from the start, then goes back to the end.
  bool WriteAt(uint64_t offset, const void* data, size_t size);
  // Flushes to disk and closes; false when anything written was lost.
  bool Close();
  // Closes without waiting for the disk: for files that are flushed
  // together later (FlushFiles), or are thrown away anyway.
  bool CloseUnflushed();

 private:
  intptr_t handle_ = -1;
};

}  // namespace quasto::fs

#endif  // QUASTO_SHARED_FILE_STREAM_H_
