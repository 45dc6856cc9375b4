#include "client/manifest_table.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace quasto::client {
namespace {

// Texts are small; a block holds many thousands. A longer text gets a block
// of its own.
constexpr int kOffsetBits = 20;
constexpr size_t kBlockSize = size_t{1} << kOffsetBits;

}  // namespace

ManifestTable::ManifestTable(const Manifest& manifest) {
  for (const auto& [key, entry] : manifest) Add(key, entry);
  // A map's order is the keys' order already.
  order_.resize(rows_.size());
  for (size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<uint32_t>(i);
}

void ManifestTable::Clear() {
  release_version_.clear();
  release_date_ = 0;
  blocks_.clear();
  used_ = last_size_ = 0;
  rows_.clear();
  patches_.clear();
  order_.clear();
}

ManifestTable::Text ManifestTable::Store(std::string_view text) {
  if (text.empty()) return kEmpty;
  // The length in seven-bit groups, the last one without its high bit.
  char length[5];
  size_t n = 0;
  for (size_t v = text.size(); ; v >>= 7) {
    length[n++] = static_cast<char>((v & 0x7F) | (v >= 0x80 ? 0x80 : 0));
    if (v < 0x80) break;
  }
  const size_t need = n + text.size();
  if (blocks_.empty() || used_ + need > last_size_) {
    last_size_ = std::max(kBlockSize, need);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(last_size_));
    used_ = 0;
  }
  char* at = blocks_.back().get() + used_;
  std::memcpy(at, length, n);
  std::memcpy(at + n, text.data(), text.size());
  const Text t = static_cast<Text>(((blocks_.size() - 1) << kOffsetBits) | used_);
  used_ += need;
  return t;
}

std::string_view ManifestTable::View(Text t) const {
  if (t == kEmpty) return {};
  const char* p = blocks_[t >> kOffsetBits].get() + (t & (kBlockSize - 1));
  size_t size = 0;
  for (int shift = 0;; shift += 7) {
    const auto c = static_cast<unsigned char>(*p++);
    size |= static_cast<size_t>(c & 0x7F) << shift;
    if ((c & 0x80) == 0) break;
  }
  return std::string_view(p, size);
}

void ManifestTable::Add(std::string_view key, const UpdFileStructure& e) {
  if (!e.Version.empty() && e.VDate >= release_date_) {
    release_date_ = e.VDate;
    release_version_ = e.Version;
  }
  Row r;
  r.key = Store(key);
  r.path = Store(e.Path);
  r.name = Store(e.Name);
  r.pack = Store(e.Pack);
  r.type = Store(e.Type);
  r.sha256 = Store(e.SHA256);
  r.crc = e.CRC;
  r.date = e.Date;
  r.size = e.Size;
  r.attrib = e.Attrib;
  r.flags = e.Flags;
  r.first_patch = static_cast<uint32_t>(patches_.size());
  r.patches = static_cast<uint32_t>(e.Patches.size());
  for (const PatchRef& p : e.Patches) {
    patches_.push_back({Store(p.Base), Store(p.Pack), Store(p.SHA256), p.Size});
  }
  rows_.push_back(r);
}

ManifestRead ManifestTable::Load(std::string_view json, std::string* why) {
  Clear();
  ManifestRead result = ManifestRead::kOk;
  try {
    result = ForEachManifestEntry(
        json,
        [this](std::string&& key, UpdFileStructure&& entry) {
          Add(key, entry);
          return true;
        },
        why);
    if (result == ManifestRead::kOk) {
      order_.resize(rows_.size());
      for (size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<uint32_t>(i);
      auto by_key = [this](uint32_t a, uint32_t b) {
        return View(rows_[a].key) < View(rows_[b].key);
      };
      // The builder writes its entries in this order already.
      if (!std::is_sorted(order_.begin(), order_.end(), by_key)) {
        std::sort(order_.begin(), order_.end(), by_key);
      }
      // Sorted, a key given twice lies next to itself.
      for (size_t i = 1; i < order_.size(); ++i) {
        if (Key(i) == Key(i - 1)) {
          if (why != nullptr) {
            const std::string_view key = Key(i);
            *why = "the key " + JsonString(key.substr(0, 200)) + (key.size() > 200 ? "..." : "") +
                   " is repeated";
          }
          result = ManifestRead::kNotJson;
          break;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    if (why != nullptr) *why = "it does not fit in memory";
    result = ManifestRead::kNoMemory;
  }
  if (result != ManifestRead::kOk) Clear();
  return result;
}

void ManifestTable::Entry(size_t i, UpdFileStructure* out) const {
  const Row& r = rows_[order_[i]];
  out->Version.clear();
  out->VDate = 0;
  out->Update = 0;
  out->Path = View(r.path);
  out->Name = View(r.name);
  out->Pack = View(r.pack);
  out->CRC = r.crc;
  out->Date = r.date;
  out->Size = r.size;
  out->Type = View(r.type);
  out->Attrib = r.attrib;
  out->Flags = r.flags;
  out->SHA256 = View(r.sha256);
  out->Patches.clear();
  for (uint32_t k = 0; k < r.patches; ++k) {
    const PatchRow& p = patches_[r.first_patch + k];
    out->Patches.push_back({std::string(View(p.base)), std::string(View(p.pack)), p.size,
                            std::string(View(p.sha256))});
  }
}

std::string_view ManifestTable::Key(size_t i) const { return View(rows_[order_[i]].key); }

}  // namespace quasto::client
