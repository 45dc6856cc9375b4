// FTP settings and the upload of an update set.
#ifndef QUASTO_BUILDER_UPLOAD_H_
#define QUASTO_BUILDER_UPLOAD_H_

#include <set>
#include <string>
#include <vector>

#include "builder/builder_state.h"
#include "builder/builder_ui.h"
#include "builder/ftp_client.h"

namespace quasto {

// The stored form of the FTP password, and back. Letters and digits are
// shifted; every other character passes unchanged.
std::string ScramblePassword(const std::string& plain);
std::string UnscramblePassword(const std::string& scrambled);

// "Quastorell.cfg" in the base folder. Loading leaves the record empty when
// the file is missing or damaged; a damaged one is set aside as
// "Quastorell.cfg.bad" first (with a notice), or, when that fails, never
// written over.
bool LoadFtpSettings(BuilderState& st);
bool SaveFtpSettings(BuilderState& st);

// The logic of the dialog "Konfiguration".
class FtpDialog {
 public:
  explicit FtpDialog(BuilderState& st, BuilderUi& ui);

  std::string server;     // 20
  std::string port;       // 24, digits only
  std::string start_dir;  // 22
  std::string login;      // 27
  std::string password;   // 29, plain while the dialog shows it
  std::string protocol;     // "FTP", "FTPS" or "SFTP"
  std::string fingerprint;  // "SHA256:<base64>" or ""
  std::string key_file;     // SFTP: private key file, "" to log in by password

  // The protocol choice. A port that was the old protocol's own (or none)
  // becomes the new one's.
  void ChooseProtocol(const std::string& name);
  // "..." beside the key file.
  void PickKeyFile();

  // "Übernehmen": true when the record took the fields. Plain FTP with a
  // password asks first, as the password would cross the network readably.
  bool Apply();

 private:
  BuilderState& st_;
  BuilderUi& ui_;
};

// Menu "FTP konfigurieren".
void FtpSettingsDialog(BuilderState& st, BuilderUi& ui);

// The manifest as the server gets it: only what a client can act on.
//  - A Delete entry names no packed file: there is nothing to fetch.
//  - A file removed from the source folder (its key in `removed`) is left
//    out unless it carries the Delete rule.
//  - A file never packed is left out; its NoUpdate or IfNotExist rule is
//    published as NoUpdate, which leaves the installed file alone.
//  - Entries the client would refuse are left out.
//  - Of entries whose keys name one file on Windows (WindowsNameKey), one
//    stays: a file rather than a Delete, else the first in byte order.
Manifest PublishedManifest(const Manifest& manifest, const std::set<std::string>& removed);
Manifest PublishedManifest(const Manifest& manifest);

// Keys of the files whose packed file the next upload sends: marked pending
// and published as a file to fetch.
std::vector<std::string> PendingUploads(const BuilderState& st);

// How the settings reach the server: protocol, port and pin. False when the
// stored protocol is none this builder knows.
bool LoginOf(const FTPStructure& settings, ServerLogin* login);

// The temporary name a file is uploaded under before it is renamed.
std::string UploadName(const std::string& remote_name);

// The packed files in the target folder that disagree with the published
// manifest's entry (size or CRC), each as "key (reason)", then the patches
// that are not the ones their entries name, as "key (Patch name)". Files not there
// are not listed: those already sent need not be, the others fail to send.
std::vector<std::string> MismatchedPacks(const BuilderState& st);

struct UploadResult {
  enum Outcome {
    kNotConfigured,
    kNoNetwork,
    kSigningFailed,  // the key could not sign a manifest that changed since its signature
    kMismatched,  // packed files disagree with the manifest: nothing was sent
    kConnectFailed,
    kIdentityRefused,  // an unknown or changed key, an untrusted certificate, no TLS
    kDirectoryRefused,
    kDone,
  };
  Outcome outcome = kDone;
  int sent = 0;
  int already_there = 0;  // pending files the server held with that content
  int patches_sent = 0;   // patch files sent with the pending files
  std::vector<std::string> removed;         // files no kept manifest needed
  std::vector<std::string> not_removed;     // of those, the ones the server kept
  std::vector<std::string> failed;  // keys whose packed file was not sent
  bool manifest_sent = false;
  std::string presented_key;  // kIdentityRefused: the key the server showed, when known
  IdentityProblem identity = IdentityProblem::kNone;  // kIdentityRefused: why
  bool ok() const { return outcome == kDone && failed.empty() && manifest_sent; }
};

// Button "Hochladen": enters the FTP directory, creating what is missing,
// sends the pending packed files, then the manifest, but the manifest only
// when every pending file arrived. Each file goes under a temporary name, the
// server is asked its size, and only a whole file is renamed into place, so
// that a client never fetches a half-written or truncated file. A set whose
// packed files disagree with its manifest is refused before anything goes. With a
// signing key the manifest is the update set's signed one, sent after its
// signature; when the project's manifest changed since it was signed, it is
// signed again.
UploadResult UploadUpdateSet(BuilderState& st, BuilderUi& ui, FtpClient& ftp);

}  // namespace quasto

#endif  // QUASTO_BUILDER_UPLOAD_H_
