#include "builder/stored_document.h"

#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/limits.h"

namespace quasto {
namespace {

// The file's bytes when there is a file no larger than `limit`.
Stored ReadBounded(const std::string& path, int64_t limit, std::string* text) {
  const int64_t size = fs::FileSize(path);
  if (size < 0) {
    // A folder of that name cannot be read, nor replaced by a document.
    return DirectoryExists(path) == 1 ? Stored::kDamaged : Stored::kMissing;
  }
  if (size > limit || !fs::ReadFile(path, text)) return Stored::kDamaged;
  // It may have grown since it was measured.
  return static_cast<int64_t>(text->size()) > limit ? Stored::kDamaged : Stored::kRead;
}

template <class R>
Stored ReadRecord(const std::string& path, R* out) {
  std::string text;
  const Stored s = ReadBounded(path, kMaxRecordBytes, &text);
  if (s != Stored::kRead) return s;
  return FromJson(text, out) ? Stored::kRead : Stored::kDamaged;
}

}  // namespace

Stored ReadStoredDocument(const std::string& path, FTPStructure* out) {
  return ReadRecord(path, out);
}
Stored ReadStoredDocument(const std::string& path, ProjectStructure* out) {
  return ReadRecord(path, out);
}
Stored ReadStoredDocument(const std::string& path, UpdaterStructure* out) {
  return ReadRecord(path, out);
}

Stored ReadStoredDocument(const std::string& path, Manifest* out) {
  std::string text;
  const Stored s = ReadBounded(path, kMaxManifestBytes, &text);
  if (s != Stored::kRead) return s;
  Manifest m;
  if (ManifestFromJson(text, &m) != ManifestRead::kOk) return Stored::kDamaged;
  *out = std::move(m);
  return Stored::kRead;
}

Stored ReadStoredXml(const std::string& path, XmlElement* root) {
  if (fs::FileSize(path) == 0) return Stored::kMissing;
  std::string text;
  const Stored s = ReadBounded(path, kMaxSettingsBytes, &text);
  if (s != Stored::kRead) return s;
  return ParseXml(text, root) ? Stored::kRead : Stored::kDamaged;
}

std::string SetDamagedAside(const std::string& path) {
  for (int n = 0; n < 1000; ++n) {
    std::string aside = path;
    if (n > 0) aside.append(".").append(std::to_string(n));
    aside.append(".bad");
    if (FileExists(aside) == 1 || DirectoryExists(aside) == 1) continue;
    return fs::Rename(path, aside) ? aside : "";
  }
  return "";
}

std::string DamagedSettingsText(const std::string& path, const std::string& aside) {
  std::string text = "Die Datei \"" + fs::NativePath(path) +
                     "\" ist beschädigt und wurde nicht gelesen.\n";
  if (aside.empty()) {
    return text + "Sie konnte nicht umbenannt werden und wird deshalb nicht überschrieben; "
                  "Änderungen an diesen Einstellungen werden nicht gespeichert.";
  }
  return text + "Sie bleibt als \"" + FilePart(aside) +
         "\" erhalten; an ihrer Stelle wird eine neue angelegt.";
}

}  // namespace quasto
