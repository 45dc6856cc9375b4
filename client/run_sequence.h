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
  // Looks whether an update is waiting and changes nothing: no window, no
  // mutex wait, no restart.
  bool check = false;
  // Applies the update without asking; the view decides what is shown.
  bool unattended = false;
  // Hashes every installed file the manifest names, whatever the hash cache
  // says, and replaces those that differ.
  bool repair = false;
  // How long the mutex and running-program checks wait for the program to end.
  int wait_seconds = 0;
};

enum class ClientOutcome {
  kUpdated,         // the update ran and every action succeeded
  kNothingToDo,     // the manifest asked for nothing
  kUpdateWaiting,   // --check: the manifest asks for actions; nothing was changed
  kNotApplied,      // there was an update, but the window was closed first
  kFailed,          // some action failed
  kNoManifest,      // the manifest could not be fetched, or no connection
  kBadSignature,    // the manifest is not the publisher's, is older or expired
  kBadManifest,     // what came is no whole manifest: damaged, cut short, a part
  kProgramRunning,  // the program holds its mutex, or (unattended) still runs:
                    // nothing was done
  kAlreadyRunning,  // another run holds the installation's lock: nothing was done
  kNoWindow,        // the progress window could not be opened
  kCancelled,       // cancelled before the commit: nothing installed was changed
};

struct RunReport;

// Runs the whole sequence against the given platform and returns how it
// ended, and writes "Quasto\Quastorell.result" with what it did. With
// args.unattended the messages shown also go to the log, since no one may
// see them. `base_folder` is the result of the base-folder rule. `why`, when
// given, receives the reason of a refused signature or manifest. `cancel`,
// when given, is set from elsewhere (a signal handler, another thread) to
// cancel the run: the analysis and the staging stop within about a second,
// the staging is undone, and a commit already begun is completed first.
ClientOutcome RunClient(const ClientArgs& args, const std::string& base_folder,
                        ClientView* view, HttpTransport* transport, ClientSystem* system,
                        std::string* why = nullptr, const std::atomic<bool>* cancel = nullptr);

// Writes the result document of a run into the data folder, atomically:
// `status` is the exit status, `word` names its case.
void WriteResultFile(const std::string& data_folder, const RunReport& report, int status,
                     const char* word, int64_t milliseconds);

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_RUN_SEQUENCE_H_
