// Whether a fetched manifest may be acted on. An installation that ships the
// publisher's public key ("Quasto\Quastorell.pub") accepts only a manifest
// that key signed, that is not older than the newest one it accepted before
// (rollback), and that has not expired (freeze). Without the key every
// manifest is taken, as installations made before signing expect.
#ifndef QUASTO_CLIENT_MANIFEST_TRUST_H_
#define QUASTO_CLIENT_MANIFEST_TRUST_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace quasto::client {

// The newest accepted signature's timestamp, kept in the data folder.
inline constexpr char kTrustStateFile[] = "Quastorell.state";

// True when the data folder holds the publisher's public key.
bool SignatureRequired(const std::string& data_folder);

// Checks `manifest` (the exact bytes received) against the signature file's
// text with the data folder's public key, at `now` (Unix seconds), and on
// success records the signature's timestamp. `project`, when not empty, is
// the installation's project identity: the signature must name it, since
// one key may sign every project of a publisher, and another project's
// signed manifest is no update of this one. "" when the manifest is
// accepted, else why it is not.
//
// The state protects against a replayed older manifest only while it can
// be read and written. When it cannot (a folder in its place, a read-only
// data folder), the manifest is still checked and taken, and
// `state_problem` says so: the caller must not go on as if the protection
// held.
std::string CheckManifestSignature(const std::string& data_folder, std::string_view manifest,
                                   std::string_view signature_file, int64_t now,
                                   const std::string& project = "",
                                   std::string* state_problem = nullptr);

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_MANIFEST_TRUST_H_
