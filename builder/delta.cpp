#include "builder/delta.h"

#include <algorithm>
#include <new>
#include <set>

#include "shared/content_hash.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/limits.h"
#include "shared/packed_file.h"
#include "shared/patch.h"

namespace quasto {
namespace {

constexpr char kIndexHeader[] = "Quastorell kept 1";
constexpr char kPackEnding[] = ".uzf";
constexpr char kPatchEnding[] = ".uzp";
// Hex digits of the base's hash in a patch's name: enough that the few
// bases of one file never meet.
constexpr size_t kNameHashDigits = 16;

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The content of a packed file on disk, when it is no larger than patches
// are made for.
bool ReadContent(const std::string& packed_path, std::string* content, bool* too_large) {
  const int64_t size = fs::FileSize(packed_path);
  if (size < 0) return false;
  // A packed file is never much longer than its content: one this long is
  // not read at all.
  if (static_cast<uint64_t>(size) > kMaxPatchContentSize + kPackedOverhead) {
    *too_large = true;
    return false;
  }
  std::string packed;
  PackedHeader header;
  if (!fs::ReadFile(packed_path, &packed)) return false;
  if (ReadPackedHeader(packed, &header) != UnpackStatus::kOk) return false;
  if (header.unpacked_length > static_cast<double>(kMaxPatchContentSize)) {
    *too_large = true;
    return false;
  }
  return UnpackContent(packed, content) == UnpackStatus::kOk;
}

}  // namespace

std::string KeptIndexText(const KeptIndex& index) {
  std::string out = std::string(kIndexHeader) + "\n";
  for (const auto& [key, contents] : index) {
    // A key is one line; the scan never publishes a name with a line break.
    if (key.empty() || key.find_first_of("\r\n") != std::string::npos) continue;
    out += "file " + key + "\n";
    for (const std::string& sha : contents) out += "content " + sha + "\n";
  }
  out += "end\n";
  return out;
}

bool ParseKeptIndex(std::string_view text, KeptIndex* index) {
  KeptIndex out;
  std::vector<std::string>* current = nullptr;
  bool header = false, ended = false;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos || ended) return false;  // cut, or bytes after "end"
    const std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (!header) {
      if (line != kIndexHeader) return false;
      header = true;
    } else if (line == "end") {
      ended = true;
    } else if (StartsWith(line, "file ") && line.size() > 5) {
      auto [it, fresh] = out.emplace(std::string(line.substr(5)), std::vector<std::string>{});
      if (!fresh) return false;
      current = &it->second;
    } else if (StartsWith(line, "content ") && current != nullptr &&
               IsSha256Hex(line.substr(8))) {
      current->emplace_back(line.substr(8));
    } else {
      return false;
    }
  }
  if (!ended) return false;
  *index = std::move(out);
  return true;
}

KeptIndex LoadKeptIndex(const std::string& path) {
  KeptIndex index;
  std::string text;
  const int64_t size = fs::FileSize(path);
  if (size < 0 || size > kMaxManifestBytes || !fs::ReadFile(path, &text)) return index;
  ParseKeptIndex(text, &index);
  return index;
}

std::string KeptContentPath(const std::string& project_folder, const std::string& sha256) {
  return project_folder + kKeptFolder + "\\" + sha256 + kPackEnding;
}

int PruneKeptContents(const std::string& project_folder, const KeptIndex& index) {
  std::set<std::string> named;
  for (const auto& [key, contents] : index) named.insert(contents.begin(), contents.end());
  std::vector<fs::DirEntry> entries;
  const std::string folder = project_folder + kKeptFolder + "\\";
  if (!fs::ListDirectory(folder, &entries)) return 0;
  int removed = 0;
  for (const fs::DirEntry& d : entries) {
    if (d.is_directory) continue;
    // Only what a generation put there; temporaries of a cut write too.
    const std::string_view name = d.name;
    const bool kept_file = name.size() >= kSha256HexSize &&
                           IsSha256Hex(name.substr(0, kSha256HexSize));
    if (!kept_file) continue;
    if (name.size() == kSha256HexSize + 4 && name.substr(kSha256HexSize) == kPackEnding &&
        named.count(std::string(name.substr(0, kSha256HexSize))) != 0) {
      continue;
    }
    if (fs::RemoveFile(folder + d.name)) ++removed;
  }
  return removed;
}

void SweepKeptContents(const std::string& project_folder) {
  const std::string index_file = project_folder + kKeptIndexFile;
  KeptIndex index;
  std::string text;
  const bool readable = fs::FileSize(index_file) >= 0 &&
                        fs::FileSize(index_file) <= kMaxManifestBytes &&
                        fs::ReadFile(index_file, &text) && ParseKeptIndex(text, &index);
  if (readable || fs::FileSize(index_file) < 0) {
    PruneKeptContents(project_folder, index);
    return;
  }
  std::vector<fs::DirEntry> entries;
  const std::string folder = project_folder + kKeptFolder + "\\";
  if (!fs::ListDirectory(folder, &entries)) return;
  for (const fs::DirEntry& d : entries) {
    if (!d.is_directory && d.name.find(".tmp~") != std::string::npos) {
      fs::RemoveFile(folder + d.name);
    }
  }
}

std::string PatchFileName(const std::string& pack, const std::string& base_sha256) {
  if (pack.size() < 4 || pack.compare(pack.size() - 4, 4, kPackEnding) != 0 ||
      base_sha256.size() < kNameHashDigits) {
    return "";
  }
  std::string name = pack.substr(0, pack.size() - 4) + "." +
                     base_sha256.substr(0, kNameHashDigits) + kPatchEnding;
  if (name.size() > kMaxPackNameBytes) return "";
  return name;
}

bool IsPatchFileName(const std::string& name) {
  return name.size() > kNameHashDigits + 5 && name.size() <= kMaxPackNameBytes &&
         name.compare(name.size() - 4, 4, kPatchEnding) == 0 &&
         name.find_first_of("\\/:") == std::string::npos && name != ".." &&
         IsSafeEntryPath("", name, true);
}

bool PatchWorthSending(uint64_t patch_size, uint64_t packed_size) {
  // Under three quarters of the whole file: anything closer saves too
  // little to be worth a second file on the server.
  return patch_size < packed_size - packed_size / 4 && patch_size * 4 < packed_size * 3;
}

PackOutcome MakeVerifiedPatch(const std::string& base_packed, const std::string& base_sha256,
                              const std::string& new_packed, const std::string& new_sha256,
                              const std::string& dest) {
  PackOutcome o;
  try {
    bool too_large = false;
    std::string base, result;
    if (!ReadContent(base_packed, &base, &too_large) || Sha256Hex(base) != base_sha256) {
      o.status = PackStatus::kSourceUnreadable;
      if (too_large) {
        o.status = PackStatus::kOk;
        o.skipped = true;
      }
      return o;
    }
    if (!ReadContent(new_packed, &result, &too_large)) {
      o.status = too_large ? PackStatus::kOk : PackStatus::kSourceUnreadable;
      o.skipped = too_large;
      return o;
    }
    if (Sha256Hex(result) != new_sha256) {
      o.status = PackStatus::kSourceChanged;
      return o;
    }
    const int64_t packed_size = fs::FileSize(new_packed);
    std::string patch;
    if (!MakePatch(base, result, &patch)) {
      o.status = PackStatus::kCoderFailed;
      return o;
    }
    o.result.content_size = result.size();
    o.result.packed_size = patch.size();
    if (!PatchWorthSending(patch.size(), static_cast<uint64_t>(packed_size))) {
      o.status = PackStatus::kOk;
      o.skipped = true;
      return o;
    }
    // The clients' own applier, as they will run it: a patch that does not
    // give the new content exactly is never published.
    auto reader = [](const std::string& bytes) {
      return [&bytes](uint64_t offset, char* buf, size_t cap) -> int64_t {
        if (offset >= bytes.size()) return 0;
        const size_t n = std::min<size_t>(cap, bytes.size() - static_cast<size_t>(offset));
        std::copy_n(bytes.data() + offset, n, buf);
        return static_cast<int64_t>(n);
      };
    };
    Sha256 applied;
    const PatchStatus applied_status = ApplyPatch(
        reader(base), base.size(), reader(patch), patch.size(),
        [&](std::string_view piece) {
          applied.Update(piece);
          return true;
        },
        static_cast<int64_t>(result.size()));
    if (applied_status != PatchStatus::kOk || applied.FinishHex() != new_sha256) {
      o.status = PackStatus::kCoderFailed;
      return o;
    }
    o.result.sha256 = Sha256Hex(patch);
    if (!fs::WriteFile(dest, patch)) {
      fs::RemoveFile(dest);
      o.status = PackStatus::kWriteFailed;
      return o;
    }
    o.status = PackStatus::kOk;
  } catch (const std::bad_alloc&) {
    // Too large for this process's memory: the file goes whole.
    o = PackOutcome();
    o.status = PackStatus::kOk;
    o.skipped = true;
  }
  return o;
}

}  // namespace quasto
