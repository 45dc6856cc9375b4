#include "builder/upload.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <map>

#include "builder/generation.h"
#include "builder/password_store.h"
#include "builder/published_record.h"
#include "shared/content_hash.h"
#include "builder/project.h"
#include "builder/signing.h"
#include "builder/stored_document.h"
#include "shared/file_stream.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/name_key.h"
#include "shared/packed_file.h"

namespace quasto {
namespace {

constexpr char kCaption[] = "Projekt upload";
constexpr char kFtpSettingsCaption[] = "FTP - Einstellungen";
constexpr char kPlainFtpWarning[] =
    "Mit FTP gehen Benutzername und Passwort unverschlüsselt über das Netz: Wer die Verbindung "
    "mitliest, kann das Konto übernehmen und das Update ersetzen. FTPS und SFTP übertragen sie "
    "verschlüsselt.";
constexpr char kPlainFtpQuestion[] = "Sollen die Einstellungen trotzdem mit FTP gespeichert werden?";

// A packed-file name must name a file in the target folder itself.
bool PlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:") == std::string::npos;
}

// The server's own words after the builder's message.
std::string ServerSays(const std::string& refusal) {
  return refusal.empty() ? "" : "\n\nAntwort des FTP-Servers: " + refusal;
}

// Enters `dir`; when that fails, walks it level by level and creates each
// missing level. A path starting with "/" starts at the server's root.
bool EnterDirectory(FtpClient& ftp, const std::string& dir, std::string* refusal) {
  if (ftp.ChangeDirectory(dir)) return true;
  *refusal = ftp.LastRefusal();
  size_t pos = 0;
  if (dir[0] == '/') {
    if (!ftp.ChangeDirectory("/")) return false;
    pos = 1;
  }
  while (pos < dir.size()) {
    size_t end = dir.find('/', pos);
    if (end == std::string::npos) end = dir.size();
    const std::string level = dir.substr(pos, end - pos);
    pos = end + 1;
    if (level.empty() || level == ".") continue;
    if (ftp.ChangeDirectory(level)) continue;
    if (!ftp.MakeDirectory(level) || !ftp.ChangeDirectory(level)) {
      *refusal = ftp.LastRefusal();
      return false;
    }
  }
  refusal->clear();
  return true;
}

// Sends under the temporary name, asks the server how much arrived, then
// renames: until the rename, clients get the old file whole, and a server
// that kept only part of it never publishes that part. A leftover temporary
// file is removed. `note`: what went wrong besides the server's refusal.
bool PublishFile(FtpClient& ftp, const std::string& local, const std::string& remote,
                 std::string* refusal, std::string* note) {
  const std::string temporary = UploadName(remote);
  const int64_t size = fs::FileSize(local);
  int64_t arrived = -1;
  if (!ftp.SendFile(local, temporary)) {
    *refusal = ftp.LastRefusal();
  } else if (!ftp.RemoteSize(temporary, &arrived)) {
    *refusal = ftp.LastRefusal();
    *note = "seine Größe auf dem Server ist unbekannt";
  } else if (arrived != size) {
    *note = "auf dem Server " + std::to_string(arrived) + " statt " + std::to_string(size) +
            " Bytes";
  } else if (ftp.Rename(temporary, remote)) {
    return true;
  } else {
    *refusal = ftp.LastRefusal();
  }
  ftp.RemoveFile(temporary);
  return false;
}

// Why a packed file in the target folder disagrees with its manifest entry,
// "" when it agrees: its header must state the entry's Size, its length
// must be what the header says, and its CRC-32 the entry's CRC.
std::string Disagreement(const std::string& path, const UpdFileStructure& e) {
  fs::InputFile in;
  if (!in.Open(path)) return "nicht lesbar";
  std::vector<char> buf(1 << 16);
  uint32_t crc = 0;
  uint64_t length = 0;
  std::string header;
  for (;;) {
    const int64_t n = in.Read(buf.data(), buf.size());
    if (n < 0) return "nicht lesbar";
    if (n == 0) break;
    const std::string_view piece(buf.data(), static_cast<size_t>(n));
    if (header.size() < kPackedHeaderSize) {
      header.append(piece.substr(0, kPackedHeaderSize - header.size()));
    }
    crc = Crc32(piece, crc);
    length += static_cast<uint64_t>(n);
  }
  // The header's two little-endian doubles: payload length (0: stored) and
  // content length.
  auto number = [&](size_t at) {
    uint64_t bits = 0;
    for (size_t i = 0; i < 8; ++i) {
      bits |= static_cast<uint64_t>(static_cast<unsigned char>(header[at + i])) << (8 * i);
    }
    return std::bit_cast<double>(bits);
  };
  if (header.size() < kPackedHeaderSize) return "Größe";
  const double payload = number(0), content = number(8);
  const double expected = static_cast<double>(static_cast<uint32_t>(e.Size));
  if (content != expected || !(payload >= 0 && payload <= kMaxPackedLength) ||
      static_cast<double>(length) != kPackedHeaderSize + (payload == 0 ? content : payload)) {
    return "Größe";
  }
  return crc == static_cast<uint32_t>(e.CRC) ? "" : "CRC";
}

// Why the server was not trusted, for the publisher.
std::string IdentityText(const ServerLogin& login, IdentityProblem problem,
                         const std::string& presented) {
  const std::string server = "\"" + login.server + "\"";
  const std::string nothing = "\nEs wurde nichts hochgeladen.";
  switch (problem) {
    case IdentityProblem::kUnknownHostKey:
      return "Der SFTP-Server " + server +
             " ist noch unbekannt; sein Schlüssel wurde nicht bestätigt.\n  Fingerabdruck: " +
             presented + nothing;
    case IdentityProblem::kKeyChanged:
      return "Der Server " + server +
             " weist sich mit einem anderen Schlüssel aus als dem gespeicherten. Das kann ein "
             "Angriff sein, oder der Server wurde neu eingerichtet.\n  gespeichert: " +
             login.pin + (presented.empty() ? "" : "\n  jetzt: " + presented) + nothing;
    case IdentityProblem::kUntrusted:
      return "Das Zertifikat des FTPS-Servers " + server +
             " ist nicht vertrauenswürdig. " +
             (presented.empty()
                  ? "Wenn Sie ihm trauen, tragen Sie den Fingerabdruck (SHA-256) seines "
                    "Schlüssels in den FTP-Einstellungen ein."
                  : "Wenn Ihr Anbieter für seinen Schlüssel denselben Fingerabdruck (SHA-256) "
                    "nennt, tragen Sie ihn in den FTP-Einstellungen ein.\n  Fingerabdruck: " +
                        presented) +
             nothing;
    case IdentityProblem::kTlsRefused:
      return "Der Server " + server +
             " bietet keine verschlüsselte Verbindung (AUTH TLS) an; die Anmeldedaten werden "
             "ihm nicht unverschlüsselt gesendet." +
             nothing;
    case IdentityProblem::kNone: break;
  }
  return "";
}

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

Manifest PublishedManifest(const Manifest& manifest, const std::set<std::string>& removed) {
  Manifest out;
  for (const auto& [key, e] : manifest) {
    if (!IsSafeEntryPath(e.Path, e.Name, e.Type != "D")) continue;
    UpdFileStructure published = e;
    // Patches only ever stand in for a packed file of a plain name.
    std::erase_if(published.Patches, [](const PatchRef& p) { return !PlainFileName(p.Pack); });
    if (e.Flags == kFlagDelete) {
      published.Pack.clear();
      published.CRC = 0;
      published.Patches.clear();
    } else if (removed.count(key) != 0) {
      continue;
    } else if (!PlainFileName(e.Pack)) {
      if (e.Flags != kFlagNoUpdate && e.Flags != kFlagIfNotExist) continue;
      // IfNotExist would send a client without the file to fetch a packed
      // file that does not exist.
      published.Flags = kFlagNoUpdate;
      published.Pack.clear();
      published.CRC = 0;
      published.Patches.clear();
    }
    out.emplace(key, std::move(published));
  }
  // Spellings of one name are one file on Windows, where a second entry, or
  // a Delete of an old spelling, would place the file and then remove it.
  // One entry stays: a file over a Delete, else the first in byte order.
  std::map<std::string, std::string> kept;  // WindowsNameKey -> key
  std::vector<std::string> dropped;
  for (const auto& [key, e] : out) {
    auto [it, fresh] = kept.emplace(WindowsNameKey(key), key);
    if (fresh) continue;
    if (out.at(it->second).Flags == kFlagDelete && e.Flags != kFlagDelete) {
      dropped.push_back(it->second);
      it->second = key;
    } else {
      dropped.push_back(key);
    }
  }
  for (const std::string& key : dropped) out.erase(key);
  return out;
}

Manifest PublishedManifest(const Manifest& manifest) { return PublishedManifest(manifest, {}); }

std::vector<std::string> PendingUploads(const BuilderState& st) {
  const Manifest published = PublishedManifest(st.manifest, RemovedKeys(st.file_list));
  std::vector<std::string> keys;
  for (const auto& [key, e] : published) {
    if (e.Update != 0 && !e.Pack.empty()) keys.push_back(key);
  }
  return keys;
}

std::string UploadName(const std::string& remote_name) { return remote_name + ".~qup"; }

bool LoginOf(const FTPStructure& settings, ServerLogin* login) {
  if (!ParseProtocol(settings.Protocol, &login->protocol)) return false;
  login->server = settings.Server;
  login->port = settings.Port;
  login->login = settings.Login;
  login->password = UnscramblePassword(settings.Password);
  login->pin = settings.Fingerprint;
  login->key_file = settings.KeyFile;
  return true;
}

std::vector<std::string> MismatchedPacks(const BuilderState& st) {
  const std::string target = TargetFolder(st);
  std::vector<std::string> out;
  for (const auto& [key, e] : PublishedManifest(st.manifest, RemovedKeys(st.file_list))) {
    if (e.Pack.empty() || FileExists(target + e.Pack) == 0) continue;
    const std::string why = Disagreement(target + e.Pack, e);
    if (!why.empty()) out.push_back(key + " (" + why + ")");
  }
  // Each patch there must be the one its entry names, byte for byte: the
  // clients would refuse another, but the signed manifest would vouch for it.
  for (const auto& [key, e] : PublishedManifest(st.manifest, RemovedKeys(st.file_list))) {
    for (const PatchRef& r : e.Patches) {
      const std::string path = target + r.Pack;
      if (FileExists(path) == 0) continue;
      std::string hash;
      if (fs::FileSize(path) != static_cast<int64_t>(static_cast<uint32_t>(r.Size)) ||
          !HashFile(path, &hash) || hash != r.SHA256) {
        out.push_back(key + " (Patch " + r.Pack + ")");
      }
    }
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
  const std::string path = st.base_folder + kFtpSettingsFile;
  switch (ReadStoredDocument(path, &st.ftp)) {
    case Stored::kRead: {
      // In memory the password stays in the form older files held it in;
      // only the document on disk changed. An old file's readable password
      // is kept as it is until the next save protects it.
      if (st.ftp.ProtectedPassword.empty()) return true;
      std::string plain;
      if (RecoverPassword(st.base_folder, st.ftp.ProtectedPassword, &plain)) {
        st.ftp.Password = ScramblePassword(plain);
      } else {
        st.ftp.Password.clear();
        st.notices.push_back(
            "Das gespeicherte FTP-Passwort konnte nicht gelesen werden (es wurde für einen "
            "anderen Benutzer oder auf einem anderen System gespeichert, oder seine Datei "
            "fehlt). Bitte geben Sie es in den FTP-Einstellungen neu ein.");
      }
      return true;
    }
    case Stored::kMissing: return false;
    case Stored::kDamaged: break;
  }
  // The settings start empty; what the file held stays as "Quastorell.cfg.bad".
  const std::string aside = SetDamagedAside(path);
  st.keep_ftp_file = aside.empty();
  st.notices.push_back(DamagedSettingsText(path, aside));
  return false;
}

bool SaveFtpSettings(BuilderState& st) {
  if (st.keep_ftp_file) return false;
  // The password never goes into the document readably, not even as a
  // fallback when it cannot be protected.
  FTPStructure stored = st.ftp;
  stored.Password.clear();
  if (!ProtectPassword(st.base_folder, UnscramblePassword(st.ftp.Password),
                       &stored.ProtectedPassword)) {
    return false;
  }
  if (!SaveDocument(st.base_folder + kFtpSettingsFile, stored)) return false;
  st.ftp.ProtectedPassword = stored.ProtectedPassword;
  return true;
}

FtpDialog::FtpDialog(BuilderState& st, BuilderUi& ui) : st_(st), ui_(ui) {
  server = st.ftp.Server;
  TransferProtocol stored = TransferProtocol::kFtp;
  ParseProtocol(st.ftp.Protocol, &stored);
  port = std::to_string(st.ftp.Port == 0 ? DefaultPort(stored) : st.ftp.Port);
  start_dir = st.ftp.StartDir;
  login = st.ftp.Login;
  if (!st.ftp.Password.empty()) password = UnscramblePassword(st.ftp.Password);
  protocol = st.ftp.Protocol.empty() ? "FTP" : st.ftp.Protocol;
  fingerprint = st.ftp.Fingerprint;
  key_file = st.ftp.KeyFile;
}

bool FtpDialog::Apply() {
  if (server.empty() || port.empty()) {
    ui_.ShowMessage("FTP - Einstellungen", "Die Eingaben sind unvollständig!",
                    MessageIcon::kWarning);
    return false;
  }
  TransferProtocol chosen;
  if (!ParseProtocol(protocol, &chosen)) {
    ui_.ShowMessage("FTP - Einstellungen", "Das Protokoll muss FTP, FTPS oder SFTP sein.",
                    MessageIcon::kWarning);
    return false;
  }
  if (!fingerprint.empty() && !ValidPin(fingerprint)) {
    ui_.ShowMessage("FTP - Einstellungen",
                    "Der Fingerabdruck muss ein SHA-256-Wert in Base64 sein, etwa so, wie ssh "
                    "ihn zeigt: \"SHA256:...\".",
                    MessageIcon::kWarning);
    return false;
  }
  // The port field takes digits only; a port beyond 65535 names no server,
  // and 0 stands for the protocol's own.
  if (!AllDigits(port) || std::atoi(port.c_str()) > 65535) {
    ui_.ShowMessage("FTP - Einstellungen", "Der Port muss eine Zahl von 0 bis 65535 sein "
                    "(0: der übliche des Protokolls).",
                    MessageIcon::kWarning);
    return false;
  }
  if (chosen == TransferProtocol::kFtp && !password.empty() &&
      !ui_.AskYesNo(kFtpSettingsCaption, kPlainFtpWarning, kPlainFtpQuestion)) {
    return false;
  }
  // A pin belongs to one server and protocol; left as it was for another,
  // it would only refuse that one.
  const std::string stored_protocol = st_.ftp.Protocol.empty() ? "FTP" : st_.ftp.Protocol;
  if ((server != st_.ftp.Server || protocol != stored_protocol) &&
      fingerprint == st_.ftp.Fingerprint) {
    fingerprint.clear();
  }
  st_.ftp.Server = server;
  st_.ftp.Port = std::atoi(port.c_str());
  st_.ftp.StartDir = start_dir;
  st_.ftp.Login = login;
  st_.ftp.Password = ScramblePassword(password);
  st_.ftp.Protocol = chosen == TransferProtocol::kFtp ? "" : ProtocolName(chosen);
  st_.ftp.Fingerprint = fingerprint.empty() ? "" : NormalPin(fingerprint);
  st_.ftp.KeyFile = key_file;
  return true;
}

void FtpDialog::ChooseProtocol(const std::string& name) {
  TransferProtocol before = TransferProtocol::kFtp, after = TransferProtocol::kFtp;
  const bool known_before = ParseProtocol(protocol, &before);
  protocol = name;
  if (!ParseProtocol(name, &after)) return;
  if (port.empty() || port == "0" || (known_before && port == std::to_string(DefaultPort(before)))) {
    port = std::to_string(DefaultPort(after));
  }
}

void FtpDialog::PickKeyFile() {
  const size_t slash = key_file.find_last_of("\\/");
  const std::string start = slash == std::string::npos ? "" : key_file.substr(0, slash + 1);
  auto file = ui_.PickFile("Bitte wählen Sie den privaten Schlüssel für SFTP aus!", start,
                           "Alle Dateien|*.*");
  if (file) key_file = *file;
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
  // A set whose packed files are not the ones its manifest names (a run cut
  // short by an earlier builder, a file changed by hand) is never published.
  if (const std::vector<std::string> mismatched = MismatchedPacks(st); !mismatched.empty()) {
    std::string text =
        "Die Dateien im Zielverzeichnis passen nicht zur Update-Info \"Quastorell.uif\":";
    constexpr size_t kShown = 10;
    for (size_t i = 0; i < mismatched.size() && i < kShown; ++i) text += "\n  " + mismatched[i];
    if (mismatched.size() > kShown) text += "\n  ...";
    text += "\nEs wurde nichts hochgeladen. Bitte erstellen Sie diese Dateien neu.";
    ui.ShowMessage(kCaption, text, MessageIcon::kError);
    result.outcome = UploadResult::kMismatched;
    return result;
  }
  ServerLogin login;
  if (!LoginOf(st.ftp, &login)) {
    ui.ShowMessage(kCaption,
                   "Das Protokoll \"" + st.ftp.Protocol +
                       "\" der FTP-Einstellungen ist unbekannt. Es wurde nichts hochgeladen.",
                   MessageIcon::kError);
    result.outcome = UploadResult::kConnectFailed;
    return result;
  }
  if (st.session_ftp_password) login.password = *st.session_ftp_password;
  bool connected = ftp.Connect(login);
  // A first SFTP connection shows a key no one has vouched for yet: the
  // publisher is asked, and only a key accepted is stored and trusted.
  if (!connected && ftp.Identity() == IdentityProblem::kUnknownHostKey &&
      !ftp.PresentedKey().empty() &&
      ui.ConfirmHostKey("Der SFTP-Server \"" + login.server +
                            "\" ist noch unbekannt. Sein Schlüssel hat den Fingerabdruck\n\n  " +
                            ftp.PresentedKey() +
                            "\n\nVergleichen Sie ihn mit dem, den Ihr Anbieter nennt. "
                            "Soll diesem Server von nun an vertraut werden?",
                        ftp.PresentedKey())) {
    login.pin = ftp.PresentedKey();
    st.ftp.Fingerprint = login.pin;
    SaveFtpSettings(st);
    connected = ftp.Connect(login);
  }
  if (!connected && ftp.Identity() != IdentityProblem::kNone) {
    result.presented_key = ftp.PresentedKey();
    result.identity = ftp.Identity();
    ui.ShowMessage(kCaption, IdentityText(login, ftp.Identity(), ftp.PresentedKey()),
                   MessageIcon::kError);
    result.outcome = UploadResult::kIdentityRefused;
    return result;
  }
  if (!connected) {
    ui.ShowMessage(kCaption,
                   "Es konnte keine Verbindung zum FTP-Server hergestellt werden." +
                       ServerSays(ftp.LastRefusal()),
                   MessageIcon::kError);
    result.outcome = UploadResult::kConnectFailed;
    return result;
  }
  const std::vector<std::string> pending = PendingUploads(st);
  // Marks from earlier runs may be pending too; the bar must not overflow.
  ui.BeginProgress("Upload .....",
                   std::max(st.last_marked_count, static_cast<int>(pending.size())) + 1);
  ui.FlushEvents();

  // Files sent anywhere but the project's directory would be lost to the
  // web server, and the manifest could replace another project's.
  for (const std::string& dir : {st.ftp.StartDir, st.project.FTPDir}) {
    std::string refusal;
    if (dir.empty() || EnterDirectory(ftp, dir, &refusal)) continue;
    ftp.Close();
    ui.EndProgress();
    ui.ShowMessage(kCaption,
                   "Das Verzeichnis \"" + dir +
                       "\" auf dem FTP-Server konnte weder geöffnet noch angelegt werden.\n"
                       "Es wurde nichts hochgeladen." +
                       ServerSays(refusal),
                   MessageIcon::kError);
    result.outcome = UploadResult::kDirectoryRefused;
    return result;
  }

  // Packed files first, the manifest last: a client that reads the new
  // manifest finds every file it names. A file the server already holds
  // with this content (as recorded, and of the size it should be) is not
  // sent again.
  const std::string target = TargetFolder(st);
  const std::string record_path =
      ProjectFolder(st, st.current_project) + kPublishedRecordFile;
  PublishedRecord record =
      LoadPublishedRecord(record_path, DestinationOf(st.ftp, st.project.FTPDir));
  // The hash no content has: a name the server holds with content not known.
  const std::string kUnknown(kSha256HexSize, '0');
  std::string file_refusal;
  std::map<std::string, std::string> notes;
  for (const std::string& key : pending) {
    UpdFileStructure& e = st.manifest[key];
    ui.ProgressText(e.Name);
    std::string refusal, note;
    // 1 sent, 2 the server holds it already, 0 failed.
    auto send = [&](const std::string& name) {
      std::string hash;
      int64_t there = -1;
      const bool hashed = HashFile(target + name, &hash);
      if (hashed && record.Holds(name, hash) && ftp.RemoteSize(name, &there) &&
          there == fs::FileSize(target + name)) {
        return 2;
      }
      // From the rename on the server holds other content than recorded;
      // a run that ends before the record is saved must not leave it
      // vouching for the old, which a later release of that content would
      // then skip.
      if (auto it = record.files.find(name); it != record.files.end() && it->second != kUnknown) {
        it->second = kUnknown;
        SavePublishedRecord(record_path, record);
      }
      if (!PublishFile(ftp, target + name, name, &refusal, &note)) return 0;
      if (hashed) record.files[name] = hash;
      return 1;
    };
    const int packed = send(e.Pack);
    // The file's patches go with it: a manifest that names one the server
    // lacks would cost its clients a failed request each.
    bool patches_sent = packed != 0;
    for (size_t i = 0; patches_sent && i < e.Patches.size(); ++i) {
      if (!PlainFileName(e.Patches[i].Pack)) continue;
      const int sent = send(e.Patches[i].Pack);
      patches_sent = sent != 0;
      if (sent == 1) ++result.patches_sent;
    }
    if (packed == 2 && patches_sent) {
      e.Update = 0;
      ++result.already_there;
      ui.ProgressStep(result.sent + result.already_there);
    } else if (packed == 1 && patches_sent) {
      e.Update = 0;
      ++result.sent;
      ui.ProgressStep(result.sent + result.already_there);
    } else {
      result.failed.push_back(key);
      if (!note.empty()) notes[key] = note;
      if (file_refusal.empty()) file_refusal = refusal;
    }
    ui.FlushEvents();
  }

  std::string manifest_refusal, manifest_note;
  const std::string manifest_path = SaveManifest(st, st.current_project);
  if (result.failed.empty() && !manifest_path.empty()) {
    ui.ProgressText(FilePart(manifest_path));
    ui.FlushEvents();
    const Manifest published = PublishedManifest(st.manifest, RemovedKeys(st.file_list));
    if (signing) {
      std::string why = resign ? WriteSignedManifest(st, key, st.expires_days) : "";
      if (!why.empty()) {
        ui.EndProgress();
        ui.ShowMessage(kCaption, why, MessageIcon::kError);
      } else {
        // Between the two files a client may see a pair that does not match;
        // it refuses that and changes nothing, and its next run gets both.
        result.manifest_sent =
            PublishFile(ftp, SignaturePath(st), FilePart(manifest_path) + kSignatureSuffix,
                        &manifest_refusal, &manifest_note) &&
            PublishFile(ftp, SignedManifestPath(st), FilePart(manifest_path), &manifest_refusal,
                        &manifest_note);
      }
    } else if (published == st.manifest) {
      result.manifest_sent = PublishFile(ftp, manifest_path, FilePart(manifest_path),
                                         &manifest_refusal, &manifest_note);
    } else {
      // The builder keeps every entry (rules, unchecked and removed files);
      // the server gets only what a client can act on.
      const std::string copy = manifest_path + ".send";
      result.manifest_sent =
          SaveDocument(copy, published) &&
          PublishFile(ftp, copy, FilePart(manifest_path), &manifest_refusal, &manifest_note);
      fs::RemoveFile(copy);
    }
  }
  if (result.manifest_sent) {
    // Only now, with the new manifest in place, may what it no longer needs
    // go; a client still reading the old one was given time by the kept
    // manifests, if any. A file the server keeps stays recorded, to be
    // tried again next time.
    const Manifest published = PublishedManifest(st.manifest, RemovedKeys(st.file_list));
    const std::set<std::string> needed = NamesOfSet(published, signing);
    // Files on the server that no record knew (the manifest, which goes
    // every time, and files sent before records were kept) are recorded
    // with a hash no content has: never skipped, but removed once unneeded.
    for (const std::string& name : needed) record.files.try_emplace(name, kUnknown);
    for (const std::string& name : record.Publish(needed, st.keep_manifests)) {
      if (ftp.RemoveFile(name)) {
        record.files.erase(name);
        result.removed.push_back(name);
      } else {
        result.not_removed.push_back(name);
      }
    }
  }
  SavePublishedRecord(record_path, record);
  ui.ProgressStep(result.sent + result.already_there + 1);
  ftp.Close();
  ui.EndProgress();

  if (!result.failed.empty()) {
    const size_t n = result.failed.size();
    std::string text = std::to_string(n) + (n == 1 ? " Datei konnte" : " Dateien konnten") +
                       " nicht hochgeladen werden:";
    constexpr size_t kShown = 10;
    for (size_t i = 0; i < n && i < kShown; ++i) {
      const UpdFileStructure& e = st.manifest[result.failed[i]];
      text += "\n  " + result.failed[i];
      if (FileExists(target + e.Pack) == 0) {
        text += " (fehlt im Zielverzeichnis)";
      } else if (notes.count(result.failed[i]) != 0) {
        text += " (" + notes[result.failed[i]] + ")";
      }
    }
    if (n > kShown) text += "\n  ...";
    text +=
        "\nDie Update-Info \"Quastorell.uif\" wurde deshalb nicht gesendet; "
        "die Dateien bleiben für den nächsten Upload vorgemerkt." +
        ServerSays(file_refusal);
    ui.ShowMessage(kCaption, text, MessageIcon::kWarning);
  } else if (!result.manifest_sent) {
    ui.ShowMessage(kCaption,
                   "Die Update-Info \"Quastorell.uif\" konnte nicht hochgeladen werden" +
                       (manifest_note.empty() ? std::string(".") : " (" + manifest_note + ").") +
                       ServerSays(manifest_refusal),
                   MessageIcon::kWarning);
  } else if (!result.not_removed.empty()) {
    // The publication stands; only the tidying up is incomplete.
    std::string text = "Die Veröffentlichung ist vollständig, aber " +
                       std::to_string(result.not_removed.size()) +
                       " nicht mehr benötigte Datei(en) konnten auf dem Server nicht gelöscht "
                       "werden; der nächste Upload versucht es erneut:";
    constexpr size_t kShown = 10;
    for (size_t i = 0; i < result.not_removed.size() && i < kShown; ++i) {
      text += "\n  " + result.not_removed[i];
    }
    if (result.not_removed.size() > kShown) text += "\n  ...";
    ui.ShowMessage(kCaption, text, MessageIcon::kWarning);
  }
  return result;
}

}  // namespace quasto
