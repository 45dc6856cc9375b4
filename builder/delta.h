// Patches for changed files. The builder keeps the contents it published of
// each file (packed, in the project's folder, one file per SHA-256, shared by
// files with equal content) for the last few generations, and makes a direct
// patch from each of them to a file's new content. A client whose file is
// one of those contents fetches the patch instead of the whole file.
//
// Kept contents are named by their hash, so writing one is never a change:
// one that no index names is simply removed later. What is kept for which
// file is the index "Quastorell.kept", which a generation stages and
// commits with the rest of the set:
//   Quastorell kept 1
//   file <key>
//   content <sha256>     newest first, one a line
//   ...
//   end
#ifndef QUASTO_BUILDER_DELTA_H_
#define QUASTO_BUILDER_DELTA_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "builder/pack_pool.h"

namespace quasto {

inline constexpr char kKeptIndexFile[] = "Quastorell.kept";
inline constexpr char kKeptFolder[] = "Kept";
inline constexpr int kDefaultKeptGenerations = 3;
inline constexpr int kMaxKeptGenerations = 100;

// Per file key, the SHA-256 of its kept contents, newest first.
using KeptIndex = std::map<std::string, std::vector<std::string>>;

std::string KeptIndexText(const KeptIndex& index);
// False (and *index unchanged) unless the text is one whole, valid index.
bool ParseKeptIndex(std::string_view text, KeptIndex* index);
// Empty when the file is missing or damaged: no patches then, never wrong ones.
KeptIndex LoadKeptIndex(const std::string& path);

// The packed file holding a kept content, in the project's folder.
std::string KeptContentPath(const std::string& project_folder, const std::string& sha256);
// Removes kept contents that `index` does not name, and temporaries of
// writes cut short; the number removed.
int PruneKeptContents(const std::string& project_folder, const KeptIndex& index);
// What a killed generation may have left among the kept contents: the
// temporaries, and when the index reads whole (or there is none), contents
// it does not name. A damaged index leaves the contents alone.
void SweepKeptContents(const std::string& project_folder);

// A patch's file name beside the packed files: the packed file's name with
// the base's hash in place of its ending, so unique per file and base, and
// made of the same characters. "" when it would be too long for a name.
std::string PatchFileName(const std::string& pack, const std::string& base_sha256);

// Whether a name is one PatchFileName makes: a plain name, no folder.
bool IsPatchFileName(const std::string& name);

// A patch is sent only when it is clearly smaller than the whole packed file.
bool PatchWorthSending(uint64_t patch_size, uint64_t packed_size);

// The work of one patch: unpacks the kept base and the new packed file,
// checks both against their hashes, makes the patch, applies it with the
// clients' applier and compares the result's hash, and writes it to `dest`
// when it is worth sending. The outcome's result holds the patch's size
// and SHA-256; `skipped` when it is not worth sending or the files are too
// large to patch; kSourceUnreadable when the base is not the content named.
PackOutcome MakeVerifiedPatch(const std::string& base_packed, const std::string& base_sha256,
                              const std::string& new_packed, const std::string& new_sha256,
                              const std::string& dest);

}  // namespace quasto

#endif  // QUASTO_BUILDER_DELTA_H_
