// What the builder has put on a server: per destination (protocol, server,
// port, login and directory), the names it holds there with their SHA-256,
// and the names each of the last manifests needs. An upload skips a file
// whose content the server already holds under its name, and afterwards
// removes what no kept manifest needs any more.
//
// Kept as "Quastorell.sent" in the project's folder, a text file with a
// section per destination:
//   Quastorell sent 1
//   destination <text>
//   file <sha256> <name>          one per file on the server
//   keep <n> <name>               the names manifest n needs, 0 the newest
//   ...                           further destinations
//   end
// A destination without a section, or a file that cannot be read whole
// (a cut one lacks "end"), counts as empty: everything is sent, nothing is
// removed.
#ifndef QUASTO_BUILDER_PUBLISHED_RECORD_H_
#define QUASTO_BUILDER_PUBLISHED_RECORD_H_

#include <map>
#include <set>
#include <string>
#include <vector>

#include "shared/documents.h"

namespace quasto {

inline constexpr char kPublishedRecordFile[] = "Quastorell.sent";

struct PublishedRecord {
  std::string destination;
  std::map<std::string, std::string> files;  // name -> SHA-256 (hex)
  std::vector<std::set<std::string>> kept;   // newest first

  // Whether the server holds `name` with this content, as far as recorded.
  bool Holds(const std::string& name, const std::string& sha256) const;
  // A new manifest is in place: it needs `names`; the last `keep` manifests
  // stay. Returns the recorded files that none of them needs, in any
  // spelling of letter case, to remove.
  std::vector<std::string> Publish(const std::set<std::string>& names, int keep);
};

// The destination's text for a record: the same server and directory give
// the same text.
std::string DestinationOf(const FTPStructure& ftp, const std::string& directory);

// Reads the record for `destination`; an empty one when the file is missing,
// damaged, or of another destination.
PublishedRecord LoadPublishedRecord(const std::string& path, const std::string& destination);
bool SavePublishedRecord(const std::string& path, const PublishedRecord& record);

// The names a manifest needs on the server: its packed files and their
// patches, the manifest and, when signed, its signature. Other kinds of
// files a set places beside them are added here, so that pruning keeps them
// while a kept manifest names them.
std::set<std::string> NamesOfSet(const Manifest& published, bool signed_set);

}  // namespace quasto

#endif  // QUASTO_BUILDER_PUBLISHED_RECORD_H_
