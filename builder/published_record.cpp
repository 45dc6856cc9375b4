#include "builder/published_record.h"

#include <sstream>

#include "builder/ftp_client.h"
#include "shared/content_hash.h"
#include "shared/fs.h"
#include "shared/name_key.h"
#include "shared/signature.h"

namespace quasto {
namespace {

constexpr char kHeader[] = "Quastorell sent 1";

}  // namespace

bool PublishedRecord::Holds(const std::string& name, const std::string& sha256) const {
  auto it = files.find(name);
  return it != files.end() && it->second == sha256;
}

std::vector<std::string> PublishedRecord::Publish(const std::set<std::string>& names, int keep) {
  kept.insert(kept.begin(), names);
  if (keep < 1) keep = 1;
  if (kept.size() > static_cast<size_t>(keep)) kept.resize(static_cast<size_t>(keep));
  // A server that ignores letter case holds one file for every spelling of
  // a name: deleting another spelling would delete the one needed.
  std::set<std::string> needed;
  for (const auto& set : kept) {
    for (const std::string& name : set) needed.insert(WindowsNameKey(name));
  }
  std::vector<std::string> unneeded;
  for (const auto& [name, hash] : files) {
    if (needed.count(WindowsNameKey(name)) == 0) unneeded.push_back(name);
  }
  return unneeded;
}

std::string DestinationOf(const FTPStructure& ftp, const std::string& directory) {
  const std::string protocol = ftp.Protocol.empty() ? "FTP" : ftp.Protocol;
  // Port 0 is the protocol's own, which the settings window saves as such.
  TransferProtocol known;
  const int port =
      ftp.Port == 0 && ParseProtocol(ftp.Protocol, &known) ? DefaultPort(known) : ftp.Port;
  return protocol + " " + ftp.Login + "@" + ftp.Server + ":" + std::to_string(port) + " " +
         ftp.StartDir + " | " + directory;
}

namespace {

// Every destination's record in the file; false when the file is damaged
// (a cut file lacks its last line, "end").
bool ReadAll(const std::string& path, std::map<std::string, PublishedRecord>* all) {
  std::string text;
  if (!fs::ReadFile(path, &text)) return false;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return false;
  PublishedRecord* current = nullptr;
  while (std::getline(in, line)) {
    if (line == "end") return !std::getline(in, line);
    if (line.rfind("destination ", 0) == 0) {
      current = &(*all)[line.substr(12)];
      current->destination = line.substr(12);
    } else if (current == nullptr) {
      return false;
    } else if (line.rfind("file ", 0) == 0 && line.size() > 5 + kSha256HexSize + 1 &&
               line[5 + kSha256HexSize] == ' ') {
      const std::string hash = line.substr(5, kSha256HexSize);
      if (!IsSha256Hex(hash)) return false;
      current->files[line.substr(5 + kSha256HexSize + 1)] = hash;
    } else if (line.rfind("keep ", 0) == 0) {
      const size_t space = line.find(' ', 5);
      if (space == std::string::npos) return false;
      const size_t n = static_cast<size_t>(std::atoi(line.substr(5, space - 5).c_str()));
      if (n > 10000) return false;
      if (current->kept.size() <= n) current->kept.resize(n + 1);
      current->kept[n].insert(line.substr(space + 1));
    } else {
      return false;
    }
  }
  return false;
}

}  // namespace

PublishedRecord LoadPublishedRecord(const std::string& path, const std::string& destination) {
  std::map<std::string, PublishedRecord> all;
  if (ReadAll(path, &all)) {
    auto it = all.find(destination);
    if (it != all.end()) return it->second;
  }
  PublishedRecord empty;
  empty.destination = destination;
  return empty;
}

bool SavePublishedRecord(const std::string& path, const PublishedRecord& record) {
  std::map<std::string, PublishedRecord> all;
  if (!ReadAll(path, &all)) all.clear();
  all[record.destination] = record;
  std::string text = std::string(kHeader) + "\n";
  for (const auto& [destination, r] : all) {
    text += "destination " + destination + "\n";
    for (const auto& [name, hash] : r.files) text += "file " + hash + " " + name + "\n";
    for (size_t i = 0; i < r.kept.size(); ++i) {
      for (const std::string& name : r.kept[i]) {
        text += "keep " + std::to_string(i) + " " + name + "\n";
      }
    }
  }
  return fs::WriteFileAtomic(path, text + "end\n");
}

std::set<std::string> NamesOfSet(const Manifest& published, bool signed_set) {
  std::set<std::string> names = {kManifestFile};
  if (signed_set) names.insert(std::string(kManifestFile) + kSignatureSuffix);
  for (const auto& [key, e] : published) {
    if (!e.Pack.empty()) names.insert(e.Pack);
    for (const PatchRef& p : e.Patches) names.insert(p.Pack);
  }
  return names;
}

}  // namespace quasto
