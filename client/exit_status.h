// The clients' exit statuses: one table for the console client and
// Quastorell.exe, so that scripts read every run the same way.
#ifndef QUASTO_CLIENT_EXIT_STATUS_H_
#define QUASTO_CLIENT_EXIT_STATUS_H_

#include "client/run_sequence.h"

namespace quasto::client {

enum ExitStatus : int {
  kExitDone = 0,            // updated, or nothing was to be done
  kExitFailed = 1,          // an action failed, the update could not run, or the state
                            // that keeps older signed manifests out cannot be kept
  kExitNoManifest = 2,      // the manifest could not be fetched, or was refused
  kExitDeclined = 3,        // the user declined the update
  kExitAlreadyRunning = 4,  // another run is updating this installation
  kExitCancelled = 5,       // the run was cancelled before its commit: nothing changed
};

inline ExitStatus ExitStatusOf(ClientOutcome outcome) {
  switch (outcome) {
    case ClientOutcome::kUpdated:
    case ClientOutcome::kNothingToDo:
      return kExitDone;
    case ClientOutcome::kNotApplied:
      return kExitDeclined;
    case ClientOutcome::kNoManifest:
    case ClientOutcome::kBadSignature:
    case ClientOutcome::kBadManifest:
      return kExitNoManifest;
    case ClientOutcome::kAlreadyRunning:
      return kExitAlreadyRunning;
    case ClientOutcome::kCancelled:
      return kExitCancelled;
    case ClientOutcome::kFailed:
    case ClientOutcome::kProgramRunning:
    case ClientOutcome::kNoWindow:
      return kExitFailed;
  }
  return kExitFailed;
}

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_EXIT_STATUS_H_
