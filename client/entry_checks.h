// The rules every manifest entry, and every step of a journal, obeys before
// the client acts on it: its path stays inside the program's folder, also
// through links, junctions and other reparse points, and the client's own
// files are none of its business. What a check learns of a folder is kept
// for all the names in it: a manifest names thousands of files in one
// folder, and each check asks the file system.
#ifndef QUASTO_CLIENT_ENTRY_CHECKS_H_
#define QUASTO_CLIENT_ENTRY_CHECKS_H_

#include <string>
#include <string_view>
#include <unordered_map>

#include "shared/fs.h"

namespace quasto::client {

// Why an entry or a step is refused.
inline constexpr char kBadPath[] = "its path leaves the folder or is no name Windows allows";
inline constexpr char kOwnFile[] = "it would change one of the client's own files";
inline constexpr char kLinkOut[] = "a link on its way leads out of the program's folder";

class EntryChecks {
 public:
  // `base_folder` and `data_folder` end in a separator; `executable` is the
  // client's own program ("" when unknown).
  EntryChecks(std::string base_folder, std::string data_folder, std::string executable);

  // "" when the client may write, replace or (when `deleting`) delete the
  // file base + `folder` + `name`, else why not. `folder` is "" or segments
  // each ending in "\". `glance`, when given, is the file's GlancePath,
  // which spares looking again.
  std::string_view FileRefusal(const std::string& folder, const std::string& name, bool deleting,
                               const fs::Glance* glance = nullptr);
  // The same for the folder base + `folder` itself.
  std::string_view FolderRefusal(const std::string& folder, bool deleting);
  // True when nothing is at base + `folder`: nothing below it exists either,
  // which spares looking at each of its files.
  bool FolderMissing(const std::string& folder) { return !Of(folder).exists; }

  // Whether a name in the data folder is, or may stand for, one of the
  // client's documents: whatever begins with "Quastorell." in any letter
  // case, and any short name ("QUASTO~1.UCF").
  static bool IsOwnDocumentName(const std::string& name);

 private:
  struct Folder {
    bool safe = false;        // the path obeys the rule for entries
    bool leads_into = false;  // it, or its nearest existing parent, lies inside
    bool data = false;        // it is the data folder, in any spelling or through a link
    bool executable = false;  // it holds the client's executable
    bool exists = true;       // something is there
  };
  const Folder& Of(const std::string& folder);

  std::string base_, data_, executable_;
  std::unordered_map<std::string, Folder> folders_;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_ENTRY_CHECKS_H_
