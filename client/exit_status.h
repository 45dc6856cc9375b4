// The clients' exit statuses: one table for the console client and
// Quastorell.exe, so that scripts read every run the same way.
#ifndef QUASTO_CLIENT_EXIT_STATUS_H_
#define QUASTO_CLIENT_EXIT_STATUS_H_

#include "client/run_sequence.h"

namespace quasto::client {

// Numbers 0 to 5 keep the meaning they had before the options came: 0
// stays "the installation is as the manifest asks" for scripts that test for
// success, and cases that were split out of 2 and 1 took new numbers.
enum ExitStatus : int {
  kExitDone = 0,            // updated, or nothing was to be done; --check: nothing to do
  kExitFailed = 1,          // an action failed, the update could not run, or the state
                            // that keeps older signed manifests out cannot be kept
  kExitNoManifest = 2,      // the manifest could not be fetched, or is no whole manifest
  kExitDeclined = 3,        // the user declined the update
  kExitAlreadyRunning = 4,  // another run is updating this installation
  kExitCancelled = 5,       // the run was cancelled before its commit: nothing changed
  kExitUpdateWaiting = 6,   // --check: an update is waiting
  kExitRefused = 7,         // the manifest was refused: its signature, age or expiry
  kExitProgramRunning = 8,  // the program is still running: nothing was changed
  kExitUsage = 9,           // the command line's options are wrong: nothing was done
};

inline ExitStatus ExitStatusOf(ClientOutcome outcome) {
  switch (outcome) {
    case ClientOutcome::kUpdated:
    case ClientOutcome::kNothingToDo:
      return kExitDone;
    case ClientOutcome::kUpdateWaiting:
      return kExitUpdateWaiting;
    case ClientOutcome::kNotApplied:
      return kExitDeclined;
    case ClientOutcome::kNoManifest:
    case ClientOutcome::kBadManifest:
      return kExitNoManifest;
    case ClientOutcome::kBadSignature:
      return kExitRefused;
    case ClientOutcome::kAlreadyRunning:
      return kExitAlreadyRunning;
    case ClientOutcome::kCancelled:
      return kExitCancelled;
    case ClientOutcome::kProgramRunning:
      return kExitProgramRunning;
    case ClientOutcome::kFailed:
    case ClientOutcome::kNoWindow:
      return kExitFailed;
  }
  return kExitFailed;
}

// The word the result file gives with the status.
inline const char* OutcomeWord(ClientOutcome outcome) {
  switch (outcome) {
    case ClientOutcome::kUpdated: return "updated";
    case ClientOutcome::kNothingToDo: return "nothing-to-do";
    case ClientOutcome::kUpdateWaiting: return "update-waiting";
    case ClientOutcome::kNotApplied: return "declined";
    case ClientOutcome::kFailed: return "failed";
    case ClientOutcome::kNoManifest: return "no-manifest";
    case ClientOutcome::kBadManifest: return "damaged-manifest";
    case ClientOutcome::kBadSignature: return "refused-manifest";
    case ClientOutcome::kProgramRunning: return "program-running";
    case ClientOutcome::kAlreadyRunning: return "already-running";
    case ClientOutcome::kNoWindow: return "no-window";
    case ClientOutcome::kCancelled: return "cancelled";
  }
  return "failed";
}

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_EXIT_STATUS_H_
