#include "builder/settings_store.h"

#include <vector>

#include "builder/stored_document.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/limits.h"

namespace quasto {
namespace {

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
  size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
  return s;
}

const char kU0080[] = "\xC2\x80";

std::vector<std::string> Segments(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    out.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return out;
}

bool HasFolder(const std::string& path) { return !FolderPart(path).empty(); }

}  // namespace

std::string SettingPath(const std::string& group, const std::string& section,
                        const std::string& key) {
  std::string out;
  for (const std::string& part : {group, ReplaceAll(section, "\\", "/"), key}) {
    if (part.empty()) continue;
    if (!out.empty()) out += "/";
    out += part;
  }
  return out;
}

std::string EscapeSetting(const std::string& value) {
  std::string s = ReplaceAll(value, "&", "&amp;");
  s = ReplaceAll(s, "<", "&lt;");
  s = ReplaceAll(s, ">", "&gt;");
  s = ReplaceAll(s, "'", "&apos;");
  s = ReplaceAll(s, kU0080, "&#128");
  return ReplaceAll(s, "\"", "&quot;");
}

std::string UnescapeSetting(const std::string& text) {
  std::string s = ReplaceAll(text, "&amp;", "&");
  s = ReplaceAll(s, "&lt;", "<");
  s = ReplaceAll(s, "&gt;", ">");
  s = ReplaceAll(s, "&apos;", "'");
  s = ReplaceAll(s, "&quot;", "\"");
  return ReplaceAll(s, "&#128", kU0080);
}

std::string AppDataFolder(const std::string& application, const std::string& folder) {
  std::string path = fs::GetEnv("APPDATA") + "\\";
  for (const std::string& level : {folder, application}) {
    if (level.empty()) continue;
    path += level + "\\";
    if (!DirectoryExists(path)) fs::MakeDirectory(path);
  }
  return DirectoryExists(path) ? path : "";
}

bool SettingsStore::Open(const std::string& application, const std::string& path,
                         const std::string& folder) {
  std::string full = path;
  if (!HasFolder(full)) full = AppDataFolder(application, folder) + full;
  root_.reset();
  damaged_text_.clear();
  path_ = full;
  auto doc = std::make_unique<XmlElement>();
  switch (ReadStoredXml(full, doc.get())) {
    case Stored::kRead:
      root_ = std::move(doc);
      return true;
    case Stored::kDamaged: {
      const std::string aside = SetDamagedAside(full);
      damaged_text_ = DamagedSettingsText(full, aside);
      if (aside.empty()) path_.clear();
      break;
    }
    case Stored::kMissing:
      break;
  }
  root_ = std::make_unique<XmlElement>();
  root_->name = "Registry";
  return true;
}

bool SettingsStore::Save() {
  if (!root_ || path_.empty()) {
    root_.reset();
    return false;
  }
  bool ok = fs::WriteFileAtomic(path_, WriteXml(*root_));
  root_.reset();
  return ok;
}

void SettingsStore::Write(const std::string& group, const std::string& section,
                          const std::string& key, const std::string& value) {
  const std::string path = SettingPath(group, section, key);
  if (!root_ || path.empty()) return;
  const std::vector<std::string> segments = Segments(path);
  // A name the XML writer cannot write, or a depth the reader refuses, would
  // make the whole file unreadable.
  if (segments.size() >= static_cast<size_t>(kMaxXmlDepth)) return;
  for (const std::string& s : segments) {
    if (!IsXmlName(s)) return;
  }
  XmlElement* e = root_.get();
  for (const std::string& s : segments) {
    XmlElement* child = e->Child(s);
    e = child != nullptr ? child : e->AddChild(s);
  }
  e->text = EscapeSetting(value);
}

std::string SettingsStore::Read(const std::string& group, const std::string& section,
                                const std::string& key, const std::string& fallback) const {
  const std::string path = SettingPath(group, section, key);
  if (!root_ || path.empty()) return fallback;
  const XmlElement* e = root_.get();
  for (const std::string& s : Segments(path)) {
    e = e->Child(s);
    if (e == nullptr) return fallback;
  }
  std::string value = UnescapeSetting(e->text);
  return value.empty() ? fallback : value;
}

}  // namespace quasto
