// FTP settings and the upload of an update set.
#ifndef QUASTO_BUILDER_UPLOAD_H_
#define QUASTO_BUILDER_UPLOAD_H_

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
// the file is missing or unreadable.
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

  // "Übernehmen": true when the record took the fields.
  bool Apply();

 private:
  BuilderState& st_;
  BuilderUi& ui_;
};

// Menu "FTP konfigurieren".
void FtpSettingsDialog(BuilderState& st, BuilderUi& ui);

// The manifest as the server gets it: without entries that were never
// packed (their packed file does not exist) and without entries the client
// would refuse.
Manifest PublishedManifest(const Manifest& manifest);

struct UploadResult {
  enum Outcome {
    kNotConfigured,
    kNoNetwork,
    kSigningFailed,  // the key could not sign a manifest that changed since its signature
    kConnectFailed,
    kDirectoryRefused,
    kDone,
  };
  Outcome outcome = kDone;
  int sent = 0;
  std::vector<std::string> failed;  // keys whose packed file was not sent
  bool manifest_sent = false;
  bool ok() const { return outcome == kDone && failed.empty() && manifest_sent; }
};

// Button "Hochladen": sends the pending packed files, then the manifest, but
// the manifest only when every pending file arrived. With a signing key the
// manifest is the update set's signed one, sent after its signature; when
// the project's manifest changed since it was signed, it is signed again.
UploadResult UploadUpdateSet(BuilderState& st, BuilderUi& ui, FtpClient& ftp);

}  // namespace quasto

#endif  // QUASTO_BUILDER_UPLOAD_H_
