#include "builder/upload.h"

#include <algorithm>
#include <cstdlib>

#include "builder/project.h"
#include "builder/signing.h"
#include "shared/folders.h"
#include "shared/fs.h"

namespace quasto {
namespace {

constexpr char kCaption[] = "Projekt upload";

// A packed-file name must name a file in the target folder itself.
bool PlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:") == std::string::npos;
}

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

Manifest PublishedManifest(const Manifest& manifest) {
  Manifest out;
  for (const auto& [key, e] : manifest) {
    if (!PlainFileName(e.Pack) || !IsSafeEntryPath(e.Path, e.Name, e.Type != "D")) continue;
    out.emplace(key, e);
  }
  return out;
}

std::string ScramblePassword(const std::string& plain) {
  std::string out = plain;
  for (char& c : out) {
    if (c >= '0' && c <= '9') c = static_cast<char>(c + 65);
    else if (c >= 'A' && c <= 'J') c = static_cast<char>(c - 17);
    else if (c >= 'K' && c <= 'Z') c = static_cast<char>(c - 10);
    else if (c >= 'a' && c <= 'j') c = static_cast<char>(c - 16);
    else if (c >= 'k' && c <= 'z') c = static_cast<char>(c - 10);
  }
  return out;
}

std::string UnscramblePassword(const std::string& scrambled) {
  std::string out = scrambled;
  for (char& c : out) {
    if (c >= 'q' && c <= 'z') c = static_cast<char>(c - 65);
    else if (c >= '0' && c <= '9') c = static_cast<char>(c + 17);
    else if (c >= 'A' && c <= 'P') c = static_cast<char>(c + 10);
    else if (c >= 'Q' && c <= 'Z') c = static_cast<char>(c + 16);
    else if (c >= 'a' && c <= 'p') c = static_cast<char>(c + 10);
  }
  return out;
}

bool LoadFtpSettings(BuilderState& st) {
  return LoadDocument(st.base_folder + kFtpSettingsFile, &st.ftp);
}

bool SaveFtpSettings(BuilderState& st) {
  return SaveDocument(st.base_folder + kFtpSettingsFile, st.ftp);
}

FtpDialog::FtpDialog(BuilderState& st, BuilderUi& ui) : st_(st), ui_(ui) {
  server = st.ftp.Server;
  port = st.ftp.Port == 0 ? "21" : std::to_string(st.ftp.Port);
  start_dir = st.ftp.StartDir;
  login = st.ftp.Login;
  if (!st.ftp.Password.empty()) password = UnscramblePassword(st.ftp.Password);
}

bool FtpDialog::Apply() {
  if (server.empty() || port.empty()) {
    ui_.ShowMessage("FTP - Einstellungen", "Die Eingaben sind unvollständig!",
                    MessageIcon::kWarning);
    return false;
  }
  // The port field takes digits only; a port beyond 65535 names no server.
  if (!AllDigits(port) || std::atoi(port.c_str()) < 1 || std::atoi(port.c_str()) > 65535) {
    ui_.ShowMessage("FTP - Einstellungen", "Der Port muss eine Zahl von 1 bis 65535 sein.",
                    MessageIcon::kWarning);
    return false;
  }
  st_.ftp.Server = server;
  st_.ftp.Port = std::atoi(port.c_str());
  st_.ftp.StartDir = start_dir;
  st_.ftp.Login = login;
  st_.ftp.Password = ScramblePassword(password);
  return true;
}

void FtpSettingsDialog(BuilderState& st, BuilderUi& ui) {
  FtpDialog dialog(st, ui);
  ui.RunFtpDialog(dialog);
}

UploadResult UploadUpdateSet(BuilderState& st, BuilderUi& ui, FtpClient& ftp) {
  UploadResult result;
  if (st.project.FTPUpload == 0) {
    ui.ShowMessage(kCaption, "Der FTP-Upload wurde für diese Projekt nicht konfiguriert.",
                   MessageIcon::kWarning);
    result.outcome = UploadResult::kNotConfigured;
    return result;
  }
  if (!st.network_ready) {
    result.outcome = UploadResult::kNoNetwork;
    return result;
  }
  // A manifest that changed since its signature (a rule set since, say) is
  // signed again; the key is read before anything is sent.
  const bool signing = HasSigningKey(st);
  SecretKey key;
  const bool resign = signing && !SignedManifestIsCurrent(st);
  if (resign && !LoadSigningKey(st, ui, kCaption, &key)) {
    result.outcome = UploadResult::kSigningFailed;
    return result;
  }
  if (!ftp.Connect(st.ftp.Server, st.ftp.Port, st.ftp.Login, UnscramblePassword(st.ftp.Password))) {
    ui.ShowMessage(kCaption, "Es konnte keine Verbindung zum FTP-Server hergestellt werden.",
                   MessageIcon::kError);
    result.outcome = UploadResult::kConnectFailed;
    return result;
  }
  // Marks from earlier runs may be pending too; the bar must not overflow.
  int pending = 0;
  for (const auto& [key, e] : st.manifest) pending += e.Update != 0 ? 1 : 0;
  ui.BeginProgress("Upload .....", std::max(st.last_marked_count, pending) + 1);
  ui.FlushEvents();

  // Files sent anywhere but the project's directory would be lost to the
  // web server, and the manifest could replace another project's.
  for (const std::string& dir : {st.ftp.StartDir, st.project.FTPDir}) {
    if (dir.empty() || ftp.ChangeDirectory(dir)) continue;
    ftp.Close();
    ui.EndProgress();
    ui.ShowMessage(kCaption,
                   "Das Verzeichnis \"" + dir +
                       "\" auf dem FTP-Server konnte nicht geöffnet werden.\n"
                       "Es wurde nichts hochgeladen.",
                   MessageIcon::kError);
    result.outcome = UploadResult::kDirectoryRefused;
    return result;
  }

  const std::string target = WithTrailingSeparator(st.project.Target);
  for (auto& [key, e] : st.manifest) {
    if (e.Update != 0) {
      ui.ProgressText(e.Name);
      if (PlainFileName(e.Pack) && ftp.SendFile(target + e.Pack, e.Pack)) {
        e.Update = 0;
        ui.ProgressStep(++result.sent);
      } else {
        result.failed.push_back(key);
      }
    }
    ui.FlushEvents();
  }

  const std::string manifest_path = SaveManifest(st, st.current_project);
  if (result.failed.empty() && !manifest_path.empty()) {
    ui.ProgressText(FilePart(manifest_path));
    ui.FlushEvents();
    const Manifest published = PublishedManifest(st.manifest);
    if (signing) {
      std::string why = resign ? WriteSignedManifest(st, key, st.expires_days) : "";
      if (!why.empty()) {
        ui.EndProgress();
        ui.ShowMessage(kCaption, why, MessageIcon::kError);
      } else {
        // Between the two files a client may see a pair that does not match;
        // it refuses that and changes nothing, and its next run gets both.
        result.manifest_sent =
            ftp.SendFile(SignaturePath(st), FilePart(manifest_path) + kSignatureSuffix) &&
            ftp.SendFile(SignedManifestPath(st), FilePart(manifest_path));
      }
    } else if (published == st.manifest) {
      result.manifest_sent = ftp.SendFile(manifest_path, FilePart(manifest_path));
    } else {
      // The builder keeps every entry (rules, unchecked files); the server
      // gets only what a client can fetch.
      const std::string copy = manifest_path + ".send";
      result.manifest_sent = SaveDocument(copy, published) &&
                             ftp.SendFile(copy, FilePart(manifest_path));
      fs::RemoveFile(copy);
    }
  }
  ui.ProgressStep(result.sent + 1);
  ftp.Close();
  ui.EndProgress();

  if (!result.failed.empty()) {
    const size_t n = result.failed.size();
    ui.ShowMessage(kCaption,
                   std::to_string(n) + (n == 1 ? " Datei konnte" : " Dateien konnten") +
                       " nicht hochgeladen werden.\n"
                       "Die Update-Info \"Quastorell.uif\" wurde deshalb nicht gesendet; "
                       "die Dateien bleiben für den nächsten Upload vorgemerkt.",
                   MessageIcon::kWarning);
  } else if (!result.manifest_sent) {
    ui.ShowMessage(kCaption, "Die Update-Info \"Quastorell.uif\" konnte nicht hochgeladen werden.",
                   MessageIcon::kWarning);
  }
  return result;
}

}  // namespace quasto
