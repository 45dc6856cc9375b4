// The manifest as the client walks it: the entries' texts packed into large
// blocks, one row of numbers per entry, and the rows in the order of their
// keys. The client never looks an entry up by its key; it walks them all,
// and reads only the members it acts on (Version, VDate and Update are left
// out; the entries' patches are kept). A million entries take a fifth of the memory that a map of records
// takes, which matters to a 32-bit client.
#ifndef QUASTO_CLIENT_MANIFEST_TABLE_H_
#define QUASTO_CLIENT_MANIFEST_TABLE_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "shared/documents.h"

namespace quasto::client {

class ManifestTable {
 public:
  ManifestTable() = default;
  explicit ManifestTable(const Manifest& manifest);

  // Reads a manifest document, replacing what the table held. As with
  // ManifestFromJson, a document that is not kOk leaves the table empty,
  // and `why` says what is wrong with it; a key given twice makes it damaged.
  ManifestRead Load(std::string_view json, std::string* why = nullptr);

  size_t size() const { return order_.size(); }
  // The i-th entry in the order of the keys' bytes (Version, VDate and
  // Update cleared), and its key.
  void Entry(size_t i, UpdFileStructure* out) const;
  std::string_view Key(size_t i) const;
  // The newest release the entries name: the greatest VDate, and the
  // Version that came with it ("" and 0 when none names one).
  const std::string& release_version() const { return release_version_; }
  int32_t release_date() const { return release_date_; }

 private:
  // Where a text lies in the blocks (block number in the upper bits, offset
  // below), its length written in front of it; kEmpty for "".
  using Text = uint32_t;
  static constexpr Text kEmpty = 0xFFFFFFFF;
  struct Row {
    Text key, path, name, pack, type, sha256;
    int32_t crc = 0, date = 0, size = 0, attrib = 0, flags = 0;
    uint32_t first_patch = 0, patches = 0;  // in patches_
  };
  struct PatchRow {
    Text base, pack, sha256;
    int32_t size = 0;
  };

  void Clear();
  void Add(std::string_view key, const UpdFileStructure& e);
  Text Store(std::string_view text);
  std::string_view View(Text t) const;

  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t used_ = 0;  // in the last block
  size_t last_size_ = 0;
  std::deque<Row> rows_;         // grows without moving what it holds
  std::deque<PatchRow> patches_;
  std::vector<uint32_t> order_;  // rows by key
  std::string release_version_;
  int32_t release_date_ = 0;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_MANIFEST_TABLE_H_
