// Reading the documents the builder keeps, telling a document that is not
// there (a fresh start) from one that is there but cannot be read (damaged:
// truncated, not JSON or XML, too large or too deep, unreadable). A damaged
// document is never overwritten: a project's documents stop the operation,
// a settings file is set aside as "name.bad" before a new one is written.
#ifndef QUASTO_BUILDER_STORED_DOCUMENT_H_
#define QUASTO_BUILDER_STORED_DOCUMENT_H_

#include <string>

#include "builder/xml_doc.h"
#include "shared/documents.h"

namespace quasto {

enum class Stored {
  kMissing,  // no file of that name
  kRead,     // read into the record
  kDamaged,  // there, but not readable as that document; the record is unchanged
};

// JSON records, at most kMaxRecordBytes; the manifest at most
// kMaxManifestBytes. An empty file is damaged: the builder never writes one.
Stored ReadStoredDocument(const std::string& path, FTPStructure* out);
Stored ReadStoredDocument(const std::string& path, ProjectStructure* out);
Stored ReadStoredDocument(const std::string& path, UpdaterStructure* out);
Stored ReadStoredDocument(const std::string& path, Manifest* out);

// An XML settings file, within kMaxSettingsBytes and kMaxXmlDepth. An empty
// file counts as missing: there is nothing in it to lose.
Stored ReadStoredXml(const std::string& path, XmlElement* root);

// Renames a damaged file to "name.bad" (or "name.1.bad", "name.2.bad", ...
// when that is taken), so that what it held survives the new one written in
// its place. The new path, "" when it could not be renamed: the file must
// then not be overwritten either.
std::string SetDamagedAside(const std::string& path);

// What the user is told about a damaged settings file and where it went
// (`aside` "" when it stays where it is, unchanged).
std::string DamagedSettingsText(const std::string& path, const std::string& aside);
// Caption of that message.
inline constexpr char kSettingsCaption[] = "Einstellungen";

}  // namespace quasto

#endif  // QUASTO_BUILDER_STORED_DOCUMENT_H_
