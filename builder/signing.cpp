#include "builder/signing.h"

#include <algorithm>

#include "builder/generation.h"
#include "builder/upload.h"
#include "shared/folders.h"
#include "shared/fs.h"

namespace quasto {
namespace {

std::string SecretPath(const BuilderState& st) { return st.base_folder + kSecretKeyFile; }
std::string PublicPath(const BuilderState& st) { return st.base_folder + kPublicKeyFile; }

// The timestamp of the update set's current signature, 0 when there is none
// the base folder's key made.
int64_t PreviousTimestamp(const BuilderState& st, const PublicKey& pub) {
  std::string manifest, sig;
  VerifiedSignature v;
  if (!fs::ReadFile(SignedManifestPath(st), &manifest) || !fs::ReadFile(SignaturePath(st), &sig) ||
      !VerifySignature(manifest, sig, pub, &v).empty()) {
    return 0;
  }
  return v.fields.timestamp;
}

bool ReadPublicKey(const BuilderState& st, PublicKey* pub) {
  std::string text;
  return fs::ReadFile(PublicPath(st), &text) && ParsePublicKey(text, pub).empty();
}

}  // namespace

bool HasSigningKey(const BuilderState& st) { return FileExists(SecretPath(st)) == 1; }

std::string SignedManifestPath(const BuilderState& st) {
  return TargetFolder(st) + kManifestFile;
}

std::string SignaturePath(const BuilderState& st) {
  return TargetFolder(st) + kManifestFile + kSignatureSuffix;
}

std::string CreateSigningKey(const BuilderState& st, const std::optional<std::string>& password) {
  for (const std::string& path : {SecretPath(st), PublicPath(st)}) {
    if (FileExists(path) == 1) {
      return "Im Basisverzeichnis liegt bereits ein Schlüssel: " + fs::NativePath(path) +
             "\nEr wird nicht überschrieben.";
    }
  }
  PublicKey pub;
  SecretKey secret;
  GenerateKeyPair(&pub, &secret);
  const std::string secret_text = SecretKeyFileText(secret, password);
  if (secret_text.empty() || !fs::WriteFileAtomic(SecretPath(st), secret_text, true)) {
    return "Der Schlüssel konnte nicht geschrieben werden: " + fs::NativePath(SecretPath(st));
  }
  if (!fs::WriteFileAtomic(PublicPath(st), PublicKeyFileText(pub))) {
    fs::RemoveFile(SecretPath(st));  // half a pair signs what no client can check
    return "Der öffentliche Schlüssel konnte nicht geschrieben werden: " +
           fs::NativePath(PublicPath(st));
  }
  return "";
}

bool LoadSigningKey(BuilderState& st, BuilderUi& ui, const std::string& caption, SecretKey* key) {
  const std::string path = fs::NativePath(SecretPath(st));
  std::string text;
  PublicKey pub;
  if (!fs::ReadFile(SecretPath(st), &text)) {
    ui.ShowMessage(caption, "Der Schlüssel \"" + path + "\" kann nicht gelesen werden.",
                   MessageIcon::kError);
    return false;
  }
  if (!ReadPublicKey(st, &pub)) {
    ui.ShowMessage(caption,
                   "Der öffentliche Schlüssel \"" + fs::NativePath(PublicPath(st)) +
                       "\" fehlt oder ist ungültig.",
                   MessageIcon::kError);
    return false;
  }
  std::string password;
  if (IsEncryptedSecretKey(text)) {
    std::optional<std::string> given = st.key_password ? st.key_password : ui.AskKeyPassword();
    if (!given) {
      ui.ShowMessage(caption, "Ohne das Passwort des Schlüssels kann nicht signiert werden.",
                     MessageIcon::kError);
      return false;
    }
    password = *given;
  }
  const std::string why = ParseSecretKey(text, password, key);
  if (why == "wrong password") {
    st.key_password.reset();
    ui.ShowMessage(caption, "Das Passwort des Schlüssels ist falsch.", MessageIcon::kError);
    return false;
  }
  if (!why.empty() || key->id != pub.id) {
    ui.ShowMessage(caption,
                   "Der Schlüssel \"" + path + "\" ist ungültig oder passt nicht zu \"" +
                       kPublicKeyFile + "\".",
                   MessageIcon::kError);
    return false;
  }
  if (IsEncryptedSecretKey(text)) st.key_password = password;
  // As ssh does: whoever else can read the key can sign updates that every
  // installation trusts. It is still used, so a build goes on.
  if (fs::ReadableByOthers(SecretPath(st))) {
    ui.ShowMessage(caption,
                   "Der geheime Schlüssel \"" + path +
                       "\" ist für andere Benutzer lesbar. Er wird trotzdem verwendet; "
                       "schützen Sie ihn (chmod 600).",
                   MessageIcon::kWarning);
  }
  return true;
}

std::string PublishedManifestText(const BuilderState& st) {
  Manifest published = PublishedManifest(st.manifest, RemovedKeys(st.file_list));
  for (auto& [key, e] : published) e.Update = 0;
  return ToJson(published);
}

std::string MakeSignedManifest(const BuilderState& st, const SecretKey& key, int expires_days,
                               SignedManifest* out) {
  PublicKey pub;
  if (!ReadPublicKey(st, &pub) || !fs::ReadFile(PublicPath(st), &out->public_key)) {
    return "Der öffentliche Schlüssel fehlt oder ist ungültig.";
  }
  out->manifest = PublishedManifestText(st);
  // Clients refuse a signature older than one they accepted: a clock set
  // back must not make the next signature look older.
  const int64_t now = fs::ClockNowNs() / 1000000000;
  const int64_t timestamp = std::max(now, PreviousTimestamp(st, pub));
  std::optional<int64_t> expires;
  if (expires_days > 0) expires = now + static_cast<int64_t>(expires_days) * 86400;
  // The signature names the project: the same key may sign every project
  // in this base folder, and an installation takes only its own project's.
  out->signature = SignMessage(
      out->manifest, key,
      MakeTrustedComment(timestamp, kManifestFile, expires, st.client.ProjectId));
  return "";
}

std::string WriteSignedManifest(BuilderState& st, const SecretKey& key, int expires_days) {
  SignedManifest signed_manifest;
  if (std::string why = MakeSignedManifest(st, key, expires_days, &signed_manifest); !why.empty()) {
    return why;
  }
  const std::string data = TargetFolder(st) + "Quasto\\";
  if (!DirectoryExists(data)) CreateDirectoryTree(data);
  if (!fs::WriteFileAtomic(data + kPublicKeyFile, signed_manifest.public_key)) {
    return "Der öffentliche Schlüssel konnte nicht in das Update-Verzeichnis kopiert werden.";
  }
  if (!fs::WriteFileAtomic(SignedManifestPath(st), signed_manifest.manifest) ||
      !fs::WriteFileAtomic(SignaturePath(st), signed_manifest.signature)) {
    // A manifest without its signature would only be refused.
    fs::RemoveFile(SignaturePath(st));
    return "Die signierte Update-Info konnte nicht in das Update-Verzeichnis geschrieben werden.";
  }
  return "";
}

bool SignedManifestIsCurrent(const BuilderState& st) {
  PublicKey pub;
  std::string manifest, sig;
  VerifiedSignature v;
  const int64_t now = fs::ClockNowNs() / 1000000000;
  return ReadPublicKey(st, &pub) && fs::ReadFile(SignedManifestPath(st), &manifest) &&
         fs::ReadFile(SignaturePath(st), &sig) && manifest == PublishedManifestText(st) &&
         VerifySignature(manifest, sig, pub, &v).empty() &&
         v.fields.project == st.client.ProjectId &&
         !(v.fields.expires && *v.fields.expires <= now);
}

}  // namespace quasto
