// Signing of the published manifest with the publisher's key in the base
// folder ("Quastorell.key", its public half "Quastorell.pub").
//
// The manifest a client fetches is the published form of the project's
// manifest. Every generation writes that form, signed, into the update set
// (Target + "Quastorell.uif" and "Quastorell.uif.minisig"), and the upload
// sends exactly those bytes: the signature covers what the server serves.
// Without a key nothing of this happens and publishing works as it always
// did.
#ifndef QUASTO_BUILDER_SIGNING_H_
#define QUASTO_BUILDER_SIGNING_H_

#include <optional>
#include <string>

#include "builder/builder_state.h"
#include "builder/builder_ui.h"
#include "shared/signature.h"

namespace quasto {

// True when the base folder holds a secret key: signing is then required.
bool HasSigningKey(const BuilderState& st);

// Writes a new key pair into the base folder, the secret key encrypted when
// a password is given. "" on success, else a German message; an existing key
// is never overwritten.
std::string CreateSigningKey(const BuilderState& st, const std::optional<std::string>& password);

// Reads the secret key, asking the UI for its password when it is
// encrypted (once per run of the builder). False after a message titled
// `caption` when it cannot be read; the caller then stops.
bool LoadSigningKey(BuilderState& st, BuilderUi& ui, const std::string& caption, SecretKey* key);

// The published manifest's bytes: what a client can act on (the list's
// removed files decide what is left out), with no pending upload marks
// (clients never read them), so the bytes stay the same from the generation
// to the upload.
std::string PublishedManifestText(const BuilderState& st);

// The signed manifest's three files: the published manifest, its signature
// and the public key that ships in the update set's "Quasto\" folder.
struct SignedManifest {
  std::string manifest;
  std::string signature;
  std::string public_key;
};
// Signs the published manifest; `expires_days` > 0 adds an expiry to the
// signature. "" on success, else a German message.
std::string MakeSignedManifest(const BuilderState& st, const SecretKey& key, int expires_days,
                               SignedManifest* out);

// Signs the published manifest and writes it with its signature into the
// update set, with the public key into its "Quasto\" folder. "" on success,
// else a German message.
std::string WriteSignedManifest(BuilderState& st, const SecretKey& key, int expires_days);

// The update set's signed manifest and signature, when they are the current
// published manifest, signed by the base folder's key. False otherwise.
bool SignedManifestIsCurrent(const BuilderState& st);

// Paths of the signed pair in the update set.
std::string SignedManifestPath(const BuilderState& st);
std::string SignaturePath(const BuilderState& st);

}  // namespace quasto

#endif  // QUASTO_BUILDER_SIGNING_H_
