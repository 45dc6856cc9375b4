// Publishes one file as an update set for the benchmarks: the packed file
// and a manifest with its entry.
//
//   pack_site SOURCE NAME SITE_DIR
#include <cstdio>

#include "shared/dates.h"
#include "shared/documents.h"
#include "shared/fs.h"
#include "shared/packed_file.h"

int main(int argc, char** argv) {
  using namespace quasto;
  if (argc != 4) {
    std::fprintf(stderr, "usage: pack_site SOURCE NAME SITE_DIR\n");
    return 2;
  }
  std::string content;
  if (!fs::ReadFile(argv[1], &content)) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  const std::string site = std::string(argv[3]) + "/";
  UpdFileStructure e;
  e.Name = argv[2];
  e.Pack = MakePackName(e.Name, "");
  const std::string packed = PackContent(content);
  e.CRC = static_cast<int32_t>(Crc32(packed));
  e.Size = static_cast<int32_t>(content.size());
  e.Date = DateValueFromCivil({2030, 1, 1, 0, 0, 0});
  e.Type = "F";
  e.Attrib = fs::kAttrArchive;
  Manifest m;
  m[e.Name] = e;
  if (!fs::WriteFile(site + e.Pack, packed) || !SaveDocument(site + kManifestFile, m)) {
    std::fprintf(stderr, "cannot write the set\n");
    return 1;
  }
  std::printf("%s %zu %zu\n", e.Pack.c_str(), content.size(), packed.size());
  return 0;
}
