// An FTP client as the upload needs it (RFC 959): log in, change directory,
// send files in image type over passive data connections. One
// implementation on libcurl for both platforms (ftp_client.cpp), so that
// both builders share its bounds, its checks and its faults.
#ifndef QUASTO_BUILDER_FTP_CLIENT_H_
#define QUASTO_BUILDER_FTP_CLIENT_H_

#include <cstdint>
#include <memory>
#include <string>

namespace quasto {

class FtpClient {
 public:
  virtual ~FtpClient() = default;
  // Opens the control connection and logs in. True only when the server
  // accepted the login. Names and paths go out in UTF-8.
  virtual bool Connect(const std::string& server, int port, const std::string& login,
                       const std::string& password) = 0;
  // "CWD" with the path as it is; ".." is sent as "CDUP".
  virtual bool ChangeDirectory(const std::string& path) = 0;
  // "MKD" with the name, relative to the current directory.
  virtual bool MakeDirectory(const std::string& name) = 0;
  // "TYPE I", a passive data connection and "STOR" with the remote name,
  // relative to the current directory. True when the server confirmed the
  // complete transfer.
  virtual bool SendFile(const std::string& local_path, const std::string& remote_name) = 0;
  // "RNFR" and "RNTO" in the current directory. True when the server
  // confirmed; servers replace a file of the new name in that one step, and
  // one that refuses to keeps the old file.
  virtual bool Rename(const std::string& from, const std::string& to) = 0;
  // "DELE" in the current directory.
  virtual bool RemoveFile(const std::string& name) = 0;
  // "SIZE" in the current directory, in image type: the bytes the server
  // holds under that name. False when it does not say.
  virtual bool RemoteSize(const std::string& name, int64_t* size) = 0;
  // "QUIT" and release.
  virtual void Close() = 0;
  // What went wrong last, for messages and logs.
  virtual std::string LastError() const = 0;
  // The server's own words when it refused the last operation: the first
  // reply of that operation with a code of 400 or more, code and text, the
  // lines of a multi-line reply joined by "\n". "" when the operation
  // succeeded or failed without a refusal (no connection, a local file).
  virtual std::string LastRefusal() const = 0;
};

// Process-wide set-up of the network layer; true when ready.
bool InitNetwork();
std::unique_ptr<FtpClient> MakeFtpClient();

}  // namespace quasto

#endif  // QUASTO_BUILDER_FTP_CLIENT_H_
