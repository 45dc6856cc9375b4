// The four records that travel between the builder and the client, and their
// JSON documents: FTP settings, project, client configuration and manifest.
//
// The JSON form is fixed byte for byte: compact on one line, ", " between
// members, ": " after a name, "{}" for an empty object, no trailing line
// break, each UTF-16 code unit of a string encoded on its own, numbers as
// signed 32-bit values. Readers look members up by exact name, clear the
// record first and ignore members they do not know.
#ifndef QUASTO_SHARED_DOCUMENTS_H_
#define QUASTO_SHARED_DOCUMENTS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quasto {

// Texts are UTF-8. Numbers are signed 32-bit; unsigned quantities (CRC-32,
// sizes) are kept as the same 32 bits.
struct FTPStructure {
  std::string Server;
  int32_t Port = 0;
  std::string StartDir;
  std::string Login;
  std::string Password;
  // Added members, written only when set, so that older builders read the
  // file as before: "FTPS" or "SFTP" ("" is plain FTP), and the pinned
  // SHA-256 of the server's key as "SHA256:<base64>", and for SFTP the
  // private key file to log in with (the password is then its passphrase).
  std::string Protocol;
  std::string Fingerprint;
  std::string KeyFile;
  // Where the password is kept protected; "Password" is then written empty.
  std::string ProtectedPassword;
  bool operator==(const FTPStructure&) const = default;
};

struct ProjectStructure {
  std::string Titel;
  std::string Version;
  int32_t Date = 0;
  std::string Source;
  std::string Target;
  int32_t FTPUpload = 0;
  std::string FTPDir;
  // How many published contents of each file the builder keeps to make
  // patches from; 0 is the default (kDefaultKeptGenerations). Written only
  // when set.
  int32_t KeptGenerations = 0;
  bool operator==(const ProjectStructure&) const = default;
};

struct UpdaterStructure {
  std::string ProgInfo;
  std::string ProgExe;
  int32_t Restart = 0;
  std::string Mutex;
  std::string URL;
  // The project's identity, 32 random lower-case hex digits made when the
  // project is created; its signatures name it, and an installation that
  // knows it takes no other project's signed manifest. Written only when
  // set, so documents without it stay what they were.
  std::string ProjectId;
  bool operator==(const UpdaterStructure&) const = default;
};

// Update rules of a manifest entry.
enum UpdateFlags : int32_t {
  kFlagNormal = 0,
  kFlagNoUpdate = 1,
  kFlagIfNotExist = 2,
  kFlagDelete = 4,
  kFlagRun = 16,
};

// A patch that turns one earlier content of a file into the entry's content.
struct PatchRef {
  std::string Base;    // SHA-256 of the content it applies to, lower-case hex
  std::string Pack;    // its file's name beside the packed files
  int32_t Size = 0;    // bytes of the patch file
  std::string SHA256;  // of the patch file
  bool operator==(const PatchRef&) const = default;
};

struct UpdFileStructure {
  std::string Version;
  int32_t VDate = 0;
  std::string Path;
  std::string Name;
  std::string Pack;
  int32_t CRC = 0;
  int32_t Date = 0;
  int32_t Size = 0;
  std::string Type;
  int32_t Attrib = 0;
  int32_t Flags = 0;
  int32_t Update = 0;
  // SHA-256 of the file's unpacked content, 64 lower-case hex digits; empty
  // for a folder and for a file that was never packed. Written after the
  // members above and only when set, so older readers never see a change.
  std::string SHA256;
  // Patches to this content from earlier ones, as the member "Patches": an
  // array of objects written last and only when there are any. Readers that
  // predate it pass over a nested value.
  std::vector<PatchRef> Patches;
  bool operator==(const UpdFileStructure&) const = default;
};

// Manifest entries keyed by Path + Name, compared byte for byte. The map's
// sorted order is the order in which entries are written and walked.
using Manifest = std::map<std::string, UpdFileStructure>;

// Document file names.
inline constexpr char kFtpSettingsFile[] = "Quastorell.cfg";
inline constexpr char kClientConfigFile[] = "Quastorell.ucf";
inline constexpr char kManifestFile[] = "Quastorell.uif";
inline constexpr char kProjectExtension[] = ".upf";

// JSON text of a record or manifest, exactly as stored.
std::string ToJson(const FTPStructure& r);
std::string ToJson(const ProjectStructure& r);
std::string ToJson(const UpdaterStructure& r);
std::string ToJson(const UpdFileStructure& r);
std::string ToJson(const Manifest& m);

// One JSON string value, quotes included.
std::string JsonString(std::string_view text);

// Every reader holds a document to one form: one JSON value and nothing
// after it but blanks and line ends, no key repeated in any object (other
// readers might take the other member), nested at most kMaxDocumentDepth
// deep, a record at most kMaxRecordBytes and a manifest at most
// kMaxManifestBytes long. Anything else is a damaged document.
//
// Reads a record from JSON text whose top-level value is an object. On
// failure (damaged, not an object) returns false and leaves *out unchanged.
bool FromJson(std::string_view json, FTPStructure* out);
bool FromJson(std::string_view json, ProjectStructure* out);
bool FromJson(std::string_view json, UpdaterStructure* out);
bool FromJson(std::string_view json, UpdFileStructure* out);

enum class ManifestRead {
  kNotJson,    // damaged: not JSON, or not in the one form above; *out unchanged
  kNotObject,  // valid JSON but not an object: *out emptied
  kOk,         // *out replaced by the document's entries
  kNoMemory,   // too big for the memory there is: *out emptied
};
// Every member of the top-level object becomes one entry; a member whose value
// is not an object gives an entry with all fields cleared. `why`, when
// given, says what is wrong with a document that is not kOk.
ManifestRead ManifestFromJson(std::string_view json, Manifest* out, std::string* why = nullptr);

// The same, handing each entry to `sink` in document order as soon as it is
// read, for a reader that keeps entries its own way. `sink` returns false
// for a key it was handed before: the document is then damaged. Entries
// handed before a failure were part of a damaged document.
using ManifestSink = std::function<bool(std::string&& key, UpdFileStructure&& entry)>;
ManifestRead ForEachManifestEntry(std::string_view json, const ManifestSink& sink,
                                  std::string* why = nullptr);

// Whole documents on disk. Load fails (returns false, record unchanged) when
// the file is missing, unreadable, too large or damaged. Save replaces the
// file atomically: after a failed save the previous document is still there.
bool LoadDocument(const std::string& path, FTPStructure* out);
bool LoadDocument(const std::string& path, ProjectStructure* out);
bool LoadDocument(const std::string& path, UpdaterStructure* out);
bool LoadDocument(const std::string& path, Manifest* out);
bool SaveDocument(const std::string& path, const FTPStructure& r);
bool SaveDocument(const std::string& path, const ProjectStructure& r);
bool SaveDocument(const std::string& path, const UpdaterStructure& r);
bool SaveDocument(const std::string& path, const Manifest& m);

}  // namespace quasto

#endif  // QUASTO_SHARED_DOCUMENTS_H_
