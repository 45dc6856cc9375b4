// Content identity: the SHA-256 of a file's content decides whether two files
// are the same, never their dates. Hashing every file of a large folder on
// every start would be slow, so a cache remembers each file's hash together
// with its stamp (size, last-write and change time) and the file is read
// again only when the stamp no longer vouches for the recorded hash.
//
// The cache is a shortcut and nothing more: a missing, foreign or damaged
// cache file means re-hashing, never a wrong answer.
//
// Entries are kept under the name Windows finds a file by (WindowsNameKey):
// "ReadMe.txt" and "readme.txt" are one file there, so the cache never holds
// two hashes for it. A hash is given only for the spelling it was recorded
// under, since on other systems those may be two files.
#ifndef QUASTO_SHARED_CONTENT_HASH_H_
#define QUASTO_SHARED_CONTENT_HASH_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "shared/fs.h"

namespace quasto {

inline constexpr size_t kSha256HexSize = 64;
// The cache's file, in the folder of whoever keeps one.
inline constexpr char kHashCacheFile[] = "Quastorell.hash";
// A stamp vouches for a hash only when the file was last written this long
// before the hashing began. A later write within the file system's time
// resolution (two seconds on FAT; the kernel's coarse clock elsewhere) could
// otherwise leave the stamp as it was with other content.
inline constexpr int64_t kRacyWindowNs = 2'000'000'000;

// Streaming SHA-256 through a library that uses the CPU's SHA instructions
// where it has them: every file of an update is hashed, so its speed is the
// update's. A hash that could not be computed (no memory for its state) is
// "", which never equals a manifest's hash, so nothing passes unchecked.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(std::string_view data);
  // 64 lower-case hexadecimal digits, or "" on failure. The object is spent
  // afterwards.
  std::string FinishHex();

 private:
  struct State;
  State* state_;
};

std::string Sha256Hex(std::string_view data);
// True for exactly 64 lower-case hexadecimal digits.
bool IsSha256Hex(std::string_view text);
// Hashes a file piece by piece. False when it cannot be read or hashed.
bool HashFile(const std::string& path, std::string* hex);

class HashCache {
 public:
  HashCache() = default;
  // `file`: where the cache is kept. `root`: the folder (ending in a
  // separator) that keys are relative to; a cache made for another root is
  // not used.
  HashCache(std::string file, std::string root);

  // Reads the cache file; whatever cannot be trusted leaves the cache empty.
  void Load();
  // The same from the file's text; true when it was taken.
  bool LoadText(std::string_view text);
  // The text Save writes: every entry looked up or recorded since Load.
  std::string SavedText() const;
  // The hash of the file root + key: the recorded one while the file's stamp
  // is the recorded stamp, else read from the file (and recorded when the
  // stamp can vouch for it). False when the file is missing, is a folder or
  // cannot be read. `stamp`, when given, is the file's stamp as the caller
  // has just read it, which spares reading it again.
  bool Hash(const std::string& key, std::string* hex, const fs::FileStamp* stamp = nullptr);
  // Records the hash of content that the caller read or wrote itself. `since`
  // is ClockNowNs() from before the first byte was read or written; `before`,
  // when given, the file's stamp from before it was read: when the stamp has
  // moved since, the content may not be what was hashed, and nothing is kept.
  void Record(const std::string& key, const std::string& hex, int64_t since,
              const fs::FileStamp* before = nullptr);
  // Forgets what is known of a file (it was replaced or removed).
  void Forget(const std::string& key);
  // Writes the cache file when anything changed, keeping only the entries
  // looked up or recorded since Load. False when it could not be written.
  bool Save();

  // Files read in full by Hash since construction.
  int files_hashed() const { return files_hashed_; }
  size_t size() const { return entries_.size(); }
  const std::string& root() const { return root_; }
  const std::string& file() const { return file_; }

 private:
  struct Entry {
    std::string spelling;  // the key as recorded, and as written to the file
    fs::FileStamp stamp;
    std::string hex;
    bool used = false;
  };
  std::string file_;
  std::string root_;
  std::unordered_map<std::string, Entry> entries_;  // by WindowsNameKey
  bool dirty_ = false;
  int files_hashed_ = 0;
};

}  // namespace quasto

#endif  // QUASTO_SHARED_CONTENT_HASH_H_
