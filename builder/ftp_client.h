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

enum class TransferProtocol {
  kFtp,
  kFtps,  // explicit TLS ("AUTH TLS"), required on the control and every data connection
  kSftp,
};

// "FTP", "FTPS", "SFTP" as "Quastorell.cfg" stores them ("" is FTP); false
// for anything else.
bool ParseProtocol(const std::string& text, TransferProtocol* protocol);
std::string ProtocolName(TransferProtocol protocol);
int DefaultPort(TransferProtocol protocol);
// Whether `pin` is a SHA-256 in base64, with or without "SHA256:" and
// padding; NormalPin writes it as ssh does: "SHA256:" and no padding.
bool ValidPin(const std::string& pin);
std::string NormalPin(const std::string& pin);

struct ServerLogin {
  TransferProtocol protocol = TransferProtocol::kFtp;
  std::string server;
  int port = 0;  // 0: the protocol's default
  std::string login;
  std::string password;
  // "SHA256:<base64>" of the key the server must show: for FTPS the public
  // key of its certificate, which then need not chain to a trusted root
  // (a self-signed server); for SFTP its host key. Without a pin, FTPS
  // trusts the system's certificate store and SFTP refuses every key.
  std::string pin;
  // SFTP: a private key file to log in with, `password` being its
  // passphrase ("" for none); its public half beside it as "<file>.pub"
  // when there. Without one, the password logs in.
  std::string key_file;
};

// Why a connection was refused for the server's identity.
enum class IdentityProblem {
  kNone,
  kUnknownHostKey,  // SFTP without a pin: PresentedKey() is the server's
  kKeyChanged,      // the server showed another key than the pinned one
  kUntrusted,       // FTPS without a pin: the certificate is not trusted;
                    // PresentedKey() is its key's when the server showed it again
  kTlsRefused,      // FTPS: the server does not speak TLS
};

class FtpClient {
 public:
  virtual ~FtpClient() = default;
  // Opens the control connection and logs in. True only when the server
  // accepted the login. Names and paths go out in UTF-8.
  virtual bool Connect(const ServerLogin& login) = 0;
  bool Connect(const std::string& server, int port, const std::string& login,
               const std::string& password) {
    return Connect(ServerLogin{TransferProtocol::kFtp, server, port, login, password, "", ""});
  }
  // After a failed Connect: whether the server's identity was the reason,
  // and the fingerprint ("SHA256:<base64>") of the key it showed, when known.
  virtual IdentityProblem Identity() const = 0;
  virtual std::string PresentedKey() const = 0;
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
