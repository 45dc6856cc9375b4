// Publishes files for the client's tests as the builder would: the packed
// file in the site folder and its manifest entry.
#ifndef QUASTO_CLIENT_TEST_SITE_H_
#define QUASTO_CLIENT_TEST_SITE_H_

#include <string>

#include "shared/content_hash.h"
#include "shared/documents.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/test_util.h"

namespace quasto::client {

inline UpdFileStructure& PublishFile(const testing::TempDir& site, Manifest* manifest,
                                     const std::string& path, const std::string& name,
                                     const std::string& content, int32_t date,
                                     int32_t flags = 0) {
  const std::string packed = PackContent(content);
  UpdFileStructure& e = (*manifest)[path + name];
  e.Path = path;
  e.Name = name;
  e.Pack = MakePackName(name, path);
  e.CRC = static_cast<int32_t>(Crc32(packed));
  e.Date = date;
  e.Size = static_cast<int32_t>(content.size());
  e.Type = "F";
  e.Attrib = fs::kAttrArchive;
  e.Flags = flags;
  site.Write(e.Pack, packed);
  return e;
}

// The same with the content's hash, as current builders publish.
inline UpdFileStructure& PublishHashed(const testing::TempDir& site, Manifest* manifest,
                                       const std::string& path, const std::string& name,
                                       const std::string& content, int32_t date,
                                       int32_t flags = 0) {
  UpdFileStructure& e = PublishFile(site, manifest, path, name, content, date, flags);
  e.SHA256 = Sha256Hex(content);
  return e;
}

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_TEST_SITE_H_
