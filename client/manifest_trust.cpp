#include "client/manifest_trust.h"

#include <charconv>

#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/signature.h"

namespace quasto::client {
namespace {

constexpr char kStatePrefix[] = "timestamp:";

// The recorded timestamp; 0 when none was recorded. A state file that cannot
// be read as one counts as none: it would otherwise stop every update for
// good, and only a manifest the publisher signed gets past this check. One
// that is there but cannot be read at all is said in `problem`.
int64_t RecordedTimestamp(const std::string& path, std::string* problem) {
  std::string text;
  const fs::Glance g = fs::GlancePath(path);
  if (g.exists && (g.is_directory || !fs::ReadFile(path, &text))) {
    *problem = std::string(kTrustStateFile) + " cannot be read";
    return 0;
  }
  if (!g.exists || text.size() > 64 || text.rfind(kStatePrefix, 0) != 0) return 0;
  std::string_view digits(text);
  digits.remove_prefix(sizeof(kStatePrefix) - 1);
  while (!digits.empty() && (digits.back() == '\n' || digits.back() == '\r')) digits.remove_suffix(1);
  int64_t v = 0;
  auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  return ec == std::errc() && p == digits.data() + digits.size() && v > 0 ? v : 0;
}

}  // namespace

bool SignatureRequired(const std::string& data_folder) {
  return FileExists(data_folder + kPublicKeyFile) == 1;
}

std::string CheckManifestSignature(const std::string& data_folder, std::string_view manifest,
                                   std::string_view signature_file, int64_t now,
                                   const std::string& project, std::string* state_problem) {
  std::string key_text;
  if (!fs::ReadFile(data_folder + kPublicKeyFile, &key_text)) {
    return "the public key cannot be read";
  }
  PublicKey key;
  std::string why = ParsePublicKey(key_text, &key);
  if (!why.empty()) return "the installed public key: " + why;
  VerifiedSignature v;
  why = VerifySignature(manifest, signature_file, key, &v);
  if (!why.empty()) return why;
  if (!project.empty() && v.fields.project != project) {
    return v.fields.project.empty()
               ? "the manifest is signed for no project (this is project " + project + ")"
               : "the manifest is signed for another project (" + v.fields.project +
                     ", this is project " + project + ")";
  }

  const std::string state = data_folder + kTrustStateFile;
  std::string problem;
  const int64_t newest = RecordedTimestamp(state, &problem);
  if (v.fields.timestamp < newest) {
    return "the manifest is older (timestamp " + std::to_string(v.fields.timestamp) +
           ") than one accepted before (timestamp " + std::to_string(newest) + ")";
  }
  if (v.fields.expires && *v.fields.expires <= now) {
    return "the manifest expired (at " + std::to_string(*v.fields.expires) + ", now " +
           std::to_string(now) + ")";
  }
  // Recorded before anything is applied, so that an interrupted update does
  // not reopen the door to older manifests. A state that cannot be written
  // weakens only the rollback check: the update goes on, and says so.
  if (v.fields.timestamp > newest &&
      !fs::WriteFileAtomic(state, kStatePrefix + std::to_string(v.fields.timestamp) + "\n")) {
    problem = std::string(kTrustStateFile) + " cannot be written";
  }
  if (state_problem != nullptr) *state_problem = problem;
  return "";
}

}  // namespace quasto::client
