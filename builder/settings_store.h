// The builder's settings store: the XML document "Quastorell.reg" in its base
// folder, root element "Registry". A setting is addressed by group, section
// and key, which name nested elements; the value is the element's text.
#ifndef QUASTO_BUILDER_SETTINGS_STORE_H_
#define QUASTO_BUILDER_SETTINGS_STORE_H_

#include <memory>
#include <string>

#include "builder/xml_doc.h"

namespace quasto {

// The element path of a setting: "\" in the section becomes "/", and the
// non-empty parts among group, section and key are joined with "/".
std::string SettingPath(const std::string& group, const std::string& section,
                        const std::string& key);

// The value's text as stored, and back. Plain replacements in a fixed order;
// the XML writer escapes the stored text once more.
std::string EscapeSetting(const std::string& value);
std::string UnescapeSetting(const std::string& text);

// The per-user folder for settings files named without a folder:
// APPDATA + "\" [+ folder + "\"] + application + "\", each level created when
// missing. "" when a level cannot be made.
std::string AppDataFolder(const std::string& application, const std::string& folder);

class SettingsStore {
 public:
  // Loads the file when it exists and is not empty; otherwise starts a new
  // document that the next save writes. A file that cannot be read (damaged)
  // is first set aside as "name.bad"; when even that fails, the store is
  // never saved, so the file stays as it is. A path without a folder lies
  // in AppDataFolder(application, folder).
  bool Open(const std::string& application, const std::string& path, const std::string& folder);
  // After Open: the message for a damaged file, "" when it was fine.
  const std::string& damaged_text() const { return damaged_text_; }
  // Writes the document to the path it was opened from, atomically, and
  // releases it. False when there is nothing to save or the write failed.
  bool Save();

  bool IsOpen() const { return root_ != nullptr; }
  const std::string& path() const { return path_; }

  // Stores EscapeSetting(value) as the text of the addressed element,
  // creating missing elements as last children. Nothing happens when the
  // path is empty, a part is no valid element name, it is deeper than a
  // settings file may be, or the store is closed.
  void Write(const std::string& group, const std::string& section, const std::string& key,
             const std::string& value);
  // UnescapeSetting of the element's text; `fallback` when the store is
  // closed, the element is missing or the value is empty.
  std::string Read(const std::string& group, const std::string& section, const std::string& key,
                   const std::string& fallback) const;

 private:
  std::unique_ptr<XmlElement> root_;
  std::string path_;
  std::string damaged_text_;
};

}  // namespace quasto

#endif  // QUASTO_BUILDER_SETTINGS_STORE_H_
