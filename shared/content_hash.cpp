#include "shared/content_hash.h"

#include <charconv>
#include <cstdio>
#include <memory>
#include <vector>

#include "shared/file_stream.h"
#include "shared/name_key.h"
#include "shared/packed_file.h"

namespace quasto {
namespace {

constexpr char kMagic[] = "Quastorell hash cache 1\t";
constexpr char kTrailer[] = "end\t";
// Small enough that what was just read is still in the CPU's cache when it
// is hashed: with 1 MiB pieces, hashing a large file took about 1.5 times as
// long as with 64 KiB ones, the copy out of the page cache being paid twice.
constexpr size_t kReadChunk = 64 << 10;

// Keys are written as the last field of a line.
bool StorableKey(std::string_view key) {
  return !key.empty() && key.find_first_of("\t\r\n") == std::string_view::npos;
}

bool ParseInt(std::string_view text, int64_t* out) {
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && p == end;
}

// Splits off the text up to the next tab.
bool NextField(std::string_view* line, std::string_view* field) {
  const size_t tab = line->find('\t');
  if (tab == std::string_view::npos) return false;
  *field = line->substr(0, tab);
  line->remove_prefix(tab + 1);
  return true;
}

std::string Hex8(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

}  // namespace

std::string Sha256Hex(std::string_view data) {
  Sha256 h;
  h.Update(data);
  return h.FinishHex();
}

bool IsSha256Hex(std::string_view text) {
  if (text.size() != kSha256HexSize) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool HashFile(const std::string& path, std::string* hex) {
  fs::InputFile in;
  if (!in.Open(path)) return false;
  std::unique_ptr<char[]> buf(new char[kReadChunk]);
  Sha256 h;
  for (;;) {
    const int64_t n = in.Read(buf.get(), kReadChunk);
    if (n < 0) return false;
    if (n == 0) break;
    h.Update(std::string_view(buf.get(), static_cast<size_t>(n)));
  }
  *hex = h.FinishHex();
  return !hex->empty();
}

HashCache::HashCache(std::string file, std::string root)
    : file_(std::move(file)), root_(std::move(root)) {}

void HashCache::Load() {
  entries_.clear();
  dirty_ = false;
  std::string text;
  if (!file_.empty() && fs::ReadFile(file_, &text)) LoadText(text);
}

bool HashCache::LoadText(std::string_view text) {
  entries_.clear();
  dirty_ = false;
  // The whole file or nothing: a torn or edited cache is not trusted.
  const std::string header = kMagic + root_ + "\n";
  if (text.compare(0, header.size(), header) != 0) return false;
  const size_t trailer = text.rfind(kTrailer);
  if (trailer == std::string_view::npos || trailer < header.size() || text[trailer - 1] != '\n' ||
      text.size() != trailer + sizeof(kTrailer) - 1 + 8 + 1 || text.back() != '\n') {
    return false;
  }
  const std::string_view body = text.substr(0, trailer);
  if (text.substr(trailer + sizeof(kTrailer) - 1, 8) != Hex8(Crc32(body))) return false;

  std::unordered_map<std::string, Entry> loaded;
  std::string_view rest = body.substr(header.size());
  while (!rest.empty()) {
    const size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl + 1);
    std::string_view hex, size, mtime, change;
    Entry e;
    if (!NextField(&line, &hex) || !NextField(&line, &size) || !NextField(&line, &mtime) ||
        !NextField(&line, &change) || !IsSha256Hex(hex) || !ParseInt(size, &e.stamp.size) ||
        !ParseInt(mtime, &e.stamp.mtime_ns) || !ParseInt(change, &e.stamp.change_ns) ||
        !StorableKey(line)) {
      return false;
    }
    e.hex = std::string(hex);
    e.spelling = std::string(line);
    // A cache of an older client may hold one file under two spellings: the
    // later line stands, and answers only for its own spelling.
    loaded[WindowsNameKey(line)] = std::move(e);
  }
  entries_ = std::move(loaded);
  return true;
}

std::string HashCache::SavedText() const {
  std::string text = kMagic + root_ + "\n";
  text.reserve(text.size() + entries_.size() * 160);
  char num[64];
  for (const auto& [key, e] : entries_) {
    if (!e.used) continue;
    text += e.hex;
    std::snprintf(num, sizeof num, "\t%lld\t%lld\t%lld\t", static_cast<long long>(e.stamp.size),
                  static_cast<long long>(e.stamp.mtime_ns),
                  static_cast<long long>(e.stamp.change_ns));
    text += num;
    text += e.spelling;
    text += '\n';
  }
  const uint32_t crc = Crc32(text);
  text += kTrailer + Hex8(crc) + "\n";
  return text;
}

bool HashCache::Hash(const std::string& key, std::string* hex, const fs::FileStamp* known) {
  const std::string path = root_ + key;
  fs::FileStamp stamp;
  if (known != nullptr) {
    stamp = *known;
  } else if (!fs::StatFile(path, &stamp)) {
    Forget(key);
    return false;
  }
  auto it = entries_.find(WindowsNameKey(key));
  if (it != entries_.end() && it->second.spelling == key && it->second.stamp == stamp) {
    it->second.used = true;
    *hex = it->second.hex;
    return true;
  }
  const int64_t since = fs::ClockNowNs();
  std::string computed;
  if (!HashFile(path, &computed)) {
    Forget(key);
    return false;
  }
  ++files_hashed_;
  Record(key, computed, since, &stamp);
  *hex = std::move(computed);
  return true;
}

void HashCache::Record(const std::string& key, const std::string& hex, int64_t since,
                       const fs::FileStamp* before) {
  fs::FileStamp now;
  const bool vouched = StorableKey(key) && IsSha256Hex(hex) && fs::StatFile(root_ + key, &now) &&
                       (before == nullptr || *before == now) &&
                       now.mtime_ns < since - kRacyWindowNs;
  if (!vouched) {
    Forget(key);
    return;
  }
  Entry& e = entries_[WindowsNameKey(key)];
  if (!(e.stamp == now) || e.hex != hex || e.spelling != key) dirty_ = true;
  e.spelling = key;
  e.stamp = now;
  e.hex = hex;
  e.used = true;
}

void HashCache::Forget(const std::string& key) {
  if (entries_.erase(WindowsNameKey(key)) != 0) dirty_ = true;
}

bool HashCache::Save() {
  bool unused = false;
  for (const auto& [key, e] : entries_) unused = unused || !e.used;
  if (file_.empty() || (!dirty_ && !unused)) return true;
  if (!fs::WriteFileAtomic(file_, SavedText())) return false;
  // What was not written is gone from the file, so it is gone here too.
  std::erase_if(entries_, [](const auto& kv) { return !kv.second.used; });
  dirty_ = false;
  return true;
}

}  // namespace quasto
