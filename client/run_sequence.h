// The client's main program from start to exit, on any platform: folders,
// language, configuration, the running-program checks, the update run and
// the restart of the updated program.
#ifndef QUASTO_CLIENT_RUN_SEQUENCE_H_
#define QUASTO_CLIENT_RUN_SEQUENCE_H_

#include <atomic>
#include <string>

#include "client/http.h"
#include "client/system.h"
#include "client/view.h"
#include "shared/documents.h"

namespace quasto::client {

inline constexpr char kDataFolderName[] = "Quasto\\";
// Held open by a run for as long as it may change the installation.
inline constexpr char kLockFile[] = "Quastorell.lock";

// Reads the client configuration; a missing or invalid document leaves the
// record empty. The URL always ends in "/" afterwards.
void LoadConfiguration(const std::string& file, UpdaterStructure* config);

struct ClientArgs {
  std::string restart_argument;  // passed unchanged to the restarted program
  std::string program_folder;    // where the program is restarted; "" = base folder
};

enum class ClientOutcome {
  kUpdated,         // the update ran and every action succeeded
  kNothingToDo,     // the manifest asked for nothing
  kNotApplied,      // there was an update, but the window was closed first
  kFailed,          // some action failed
  kNoManifest,      // the manifest could not be fetched, or no connection
  kBadSignature,    // the manifest is not the publisher's, is older or expired
  kBadManifest,     // what came is no whole manifest: damaged, cut short, a part
  kProgramRunning,  // the program holds its mutex: nothing was done
  kAlreadyRunning,  // another run holds the installation's lock: nothing was done
  kNoWindow,        // the progress window could not be opened
  kCancelled,       // cancelled before the commit: nothing installed was changed
};

// Runs the whole sequence against the given platform and returns how it
// ended. `base_folder` is the result of the base-folder rule. `why`, when
// given, receives the reason of a refused signature or manifest. `cancel`,
// when given, is set from elsewhere (a signal handler, another thread) to
// cancel the run: the analysis and the staging stop within about a second,
// the staging is undone, and a commit already begun is completed first.
ClientOutcome RunClient(const ClientArgs& args, const std::string& base_folder,
                        ClientView* view, HttpTransport* transport, ClientSystem* system,
                        std::string* why = nullptr, const std::atomic<bool>* cancel = nullptr);

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_RUN_SEQUENCE_H_
