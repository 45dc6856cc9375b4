// The builder's process-wide state: one instance, created at start-up and
// kept until exit. Every action works on it.
#ifndef QUASTO_BUILDER_BUILDER_STATE_H_
#define QUASTO_BUILDER_BUILDER_STATE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "builder/project_lock.h"
#include "builder/settings_store.h"
#include "shared/content_hash.h"
#include "shared/documents.h"

namespace quasto {

// Why the merge proposes a file for packing.
enum class Proposal {
  kNone,
  kNew,             // no manifest entry yet
  kContentChanged,  // its content is not what the manifest records
  kNeverPacked,     // in the manifest, but no packed file was ever made
  kDateOrSize,      // an entry without a content hash: newer or resized
  kUnreadable,      // its content could not be read
  kRenamed,         // its name changed in letter case only: one file on Windows
};

// One file or folder found by the last scan of the source folder.
struct FileEntry {
  std::string Path;  // relative folder, "\" separators, trailing "\"; "" at the top
  std::string Name;  // "" for a folder entry
  int32_t Date = 0;
  int32_t Size = 0;
  std::string Type;  // "F" or "D"
  int32_t Attrib = 0;
  int32_t Flags = 0;
  int32_t Mark = 0;  // 1: packed by the next generation
  Proposal Reason = Proposal::kNone;
  fs::FileStamp Stamp;  // the file's stamp as scanned; size -1 when unknown
  // In the manifest, but gone from the source folder: listed so that it can
  // take the Delete rule; it is never packed.
  bool Removed = false;
  // Not published, and why, as the list and `status` show it: a link leading
  // out of the source folder, a FIFO, a name a Windows installation cannot
  // hold, a size the manifest cannot describe. Never packed, never merged;
  // what the manifest knows of it stays as it is. For a folder, nothing
  // below it is scanned.
  std::string Refused;
  // A folder that could not be listed (Path "" and Name "": the source
  // folder itself). Nothing the manifest knows below it changes state, and
  // generation stops until it can be read.
  bool Unlisted = false;
  bool operator==(const FileEntry&) const = default;
};

struct BuilderState {
  std::string base_folder;       // ends in a separator
  std::string current_project;   // "Demo.upf"; "" when none is open
  ProjectStructure project;
  UpdaterStructure client;
  FTPStructure ftp;
  std::vector<FileEntry> file_list;
  Manifest manifest;
  std::array<std::string, 3> recent;  // slot 1 first; "" is an empty slot
  int last_marked_count = 0;
  // Content hashes of the open project's source files, kept in its folder.
  HashCache hashes;
  // The FTP password of this run alone (from the environment): used for the
  // login in place of the stored one, never stored.
  std::optional<std::string> session_ftp_password;
  // The signing key's password, once given in this run.
  std::optional<std::string> key_password;
  // How many of the last manifests keep their files on the server.
  int keep_manifests = 1;
  // Days until a signature made in this run expires; 0: it does not.
  int expires_days = 0;
  bool network_ready = false;
  bool quit = false;
  SettingsStore settings;
  // "Quastorell.cfg" was damaged and could not be set aside: it is never
  // written over.
  bool keep_ftp_file = false;
  // Messages of the start (damaged settings files), shown once the main
  // window is there.
  std::vector<std::string> notices;
  // The lock of the project being worked on, and how this program names
  // itself to a second builder that finds it held.
  std::unique_ptr<ProjectLock> lock;
  std::string program = "quastorell-builder";
  // Set when a project was refused because another builder works on it.
  bool project_in_use = false;
};

}  // namespace quasto

#endif  // QUASTO_BUILDER_BUILDER_STATE_H_
