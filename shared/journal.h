// The commit journal: an update is applied as a whole or not at all.
//
// While an update is staged, the journal records what staging creates (the
// temporaries beside the installed files and the folders they need), so
// that a start after a kill can remove it again: the installation stays all
// old. Once every file is staged, the journal is replaced, in one atomic
// write, by the list of steps that make the staged update the installed one
// (renames into place, deletes, folder deletes). Only then are the steps
// taken; a start after a kill completes them: the installation ends all new.
// Every step is safe to repeat, and a step already done is skipped.
//
// Paths in a journal are relative to the base folder and obey the rule for
// manifest entries, so that a journal never reaches outside the folder. The
// journal reaches files only through fs.
//
// The client's updates were its first users, whence its namespace and file
// name; the builder's generation commits an update set through the same
// steps (builder/generation_journal.h).
#ifndef QUASTO_SHARED_JOURNAL_H_
#define QUASTO_SHARED_JOURNAL_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quasto::client {

inline constexpr char kJournalFile[] = "Quastorell.journal";

enum class StepKind {
  kTemporary,     // a temporary file of this client: removed when found
  kMadeFolder,    // staging: a folder staging created, removed with it when empty
  kNote,          // only a log line (a file that failed, a refused entry)
  kMakeFolder,    // create a folder with its parents
  kPlace,         // move a staged file over its target
  kDelete,        // delete a file
  kRemoveFolder,  // remove a folder when it is empty
  kDropBackup,    // delete an old version that an earlier run moved aside
  // Staging only, what a later run may take up instead of fetching it
  // again; each is a temporary of this client, removed like one otherwise.
  kPartial,       // a packed file's partial download, with the version it is of
  kStaged,        // a staged file that was checked, with its content's hash
};

struct JournalStep {
  StepKind kind = StepKind::kNote;
  // The target file, the folder (ending in "\") or the temporary.
  std::string path;
  // kPlace: the staged file, in the target's folder.
  std::string staged;
  // kPlace, kDelete: where the old file goes when it is in use and cannot be
  // replaced or deleted, in the target's folder. It did not exist when the
  // journal was written, so whatever is found there is the client's own.
  std::string aside;
  // kNote, and what the log says once the step is done.
  std::string line;
  // kPartial: the packed file's name on the server.
  std::string source;
  // kPartial: what named the server's version of it (its ETag or
  // Last-Modified), for the range request that takes it up. kStaged: the
  // content's SHA-256 when it was checked; a later run hashes it again.
  std::string version;
  bool operator==(const JournalStep&) const = default;
};

struct Journal {
  bool committing = false;  // false: staging is still under way
  std::vector<JournalStep> steps;
  bool operator==(const Journal&) const = default;
};

// The journal as stored: a header, one line per step and a CRC-32 over all.
std::string JournalText(const Journal& journal);
// False when the text is not a whole, undamaged journal whose paths all
// obey the path rule: such a journal is never acted on in part.
bool ParseJournal(std::string_view text, Journal* journal);

// What taking a journal's steps did.
struct CommitResult {
  std::string log;                   // the lines of the steps, in order
  std::vector<std::string> placed;   // targets a kPlace step has put in place
  std::vector<std::string> failed;   // targets of kPlace steps that failed
  // What could not be removed yet (old versions in use, temporaries): the
  // steps to keep in the journal for a later start.
  std::vector<JournalStep> pending;
  int failures = 0;                  // steps that failed, kPlace ones included
};

// Takes every step of a committing journal. Old versions that are still in
// use come back in `pending`, and are also given to the system to delete at
// the next boot.
CommitResult CarryOut(const std::string& base_folder, const Journal& journal);
// Undoes a staging: removes its temporaries and the folders it made, when
// empty. Backups to drop are tried too, and come back when still in use.
std::vector<JournalStep> UndoStaging(const std::string& base_folder, const Journal& journal);

// Writes the journal atomically, flushed to disk.
bool SaveJournal(const std::string& file, const Journal& journal);
// Once its steps are taken: removes the journal, or, while something could
// not be removed yet, keeps only the steps that remove it.
void CloseJournal(const std::string& file, const std::vector<JournalStep>& pending);
// Says why a step may not be taken ("" when it may). The journal lies in a
// folder others may write; a run with more rights than they have must not
// act on a step they wrote. With a check, a journal one of whose steps
// fails it is set aside like an unreadable one, and nothing of it is done.
using StepCheck = std::function<std::string(const JournalStep&)>;

// The old versions and temporaries an earlier run could not remove yet, as
// kept in the journal. A journal that fails `check` is set aside, the line
// saying so appended to `log`, and nothing is returned.
std::vector<JournalStep> PendingSteps(const std::string& file, const StepCheck& check = {},
                                      std::string* log = nullptr);

// Whether a staging journal records partial downloads or staged files.
bool HasResumable(const Journal& journal);
// Of a staging that ended before its commit (killed or cancelled), keeps the
// recorded partial downloads and staged files that are there, and the
// folders staging made that hold them; removes everything else it made, as
// UndoStaging does. Returns the staging journal of what is left: the kept
// files, their folders, and what could not be removed yet.
Journal KeepResumable(const std::string& base_folder, const Journal& journal);
// Writes what KeepResumable left: as a staging journal while it holds
// something to take up, else as CloseJournal does.
void SaveKept(const std::string& file, const Journal& kept);
// The steps of a staging journal that an earlier run left for this one to
// take up; nothing when there is none. A journal that fails `check` is set
// aside as PendingSteps does.
std::vector<JournalStep> KeptSteps(const std::string& file, const StepCheck& check = {},
                                   std::string* log = nullptr);
// Removes what an earlier staging left for a later run, when nothing is to
// take it up: the run found another update to make, or none.
void DropKept(const std::string& base_folder, const std::string& file,
              const StepCheck& check = {});

// 1 when the path is an existing directory with no file and no subdirectory.
int IsDirectoryEmpty(const std::string& path);

// A name for a file's old version beside it that exists neither on disk nor
// in `taken`: "name.bak", else "name.1.bak", "name.2.bak", ... `full` is the
// file's full path; the result is too.
std::string AsideName(const std::string& full, const std::vector<std::string>& taken);

// What the start-up found of an earlier run.
struct Recovery {
  enum Kind {
    kNothing,     // no journal, or one with old versions to delete only
    kUndone,      // staging was interrupted: its traces are removed, but for
                  // the partial downloads and staged files it recorded
    kCompleted,   // a commit was interrupted: its remaining steps are done
    kSetAside,    // the journal could not be read, or a step failed the check:
                  // renamed to "Quastorell.journal.bad" (a number before ".bad"
                  // when that is taken), nothing done
  };
  Kind kind = kNothing;
  // For kCompleted and kSetAside: the lines for the log.
  std::string log;
  int failures = 0;
};

// Called at start-up before anything else: completes an interrupted commit,
// undoes an interrupted staging, sets an unreadable journal aside, retries
// deleting old versions that were in use, and removes the temporaries of the
// client's own documents in the data folder. Needs no network.
Recovery RecoverInterruptedUpdate(const std::string& base_folder, const std::string& data_folder,
                                  const StepCheck& check = {});

}  // namespace quasto::client

#endif  // QUASTO_SHARED_JOURNAL_H_
