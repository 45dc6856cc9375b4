// The update run: fetch the manifest, compare it with the installed files,
// and on the button press carry out the planned actions and write the log.
#ifndef QUASTO_CLIENT_UPDATER_H_
#define QUASTO_CLIENT_UPDATER_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string_view>
#include <string>
#include <vector>

#include "client/download.h"
#include "client/fetch_pipeline.h"
#include "client/http.h"
#include "client/manifest_table.h"
#include "client/run_report.h"
#include "client/system.h"
#include "client/view.h"
#include "shared/content_hash.h"
#include "shared/documents.h"
#include "shared/journal.h"
#include "shared/language.h"

namespace quasto::client {

// What an action does.
enum ActionKind : int32_t {
  kActionDownload = 0,
  kActionDeleteFile = 4,
  kActionDeleteDir = 8,
  kActionCreateDir = 32,
};

struct UpdActionStructure {
  std::string Dir;   // full directory path, for directory actions
  std::string File;  // full local file path, for file actions
  std::string Pack;
  int32_t CRC = 0;
  int32_t Size = 0;
  int32_t Date = 0;
  int32_t Attrib = 0;
  int32_t Action = 0;
  // The entry's content hash (lower case), "" when it records none: the
  // unpacked file must have it, or it is not installed.
  std::string SHA256;
  // A patch from the installed content to this one, chosen by the analysis
  // because the installed file's hash is its base: its name beside the
  // packed files, its size and its SHA-256. Empty: the file comes whole.
  std::string PatchPack;
  int32_t PatchSize = 0;
  std::string PatchSHA256;
  bool operator==(const UpdActionStructure&) const = default;
};

// The process-wide values the run sequence sets up.
struct ClientContext {
  std::string base_folder;  // ends in a separator
  std::string data_folder;  // base_folder + "Quasto\"
  // The client's own executable: a manifest may replace it, never delete it.
  std::string executable;
  UpdaterStructure config;  // URL ends in "/"
  LanguageTable language;
  // Set from elsewhere to cancel the run (RunClient); nullptr: never.
  const std::atomic<bool>* cancel = nullptr;
  // Analyse and stop: nothing installed, no log, the hash cache aside.
  bool check_only = false;
  // Every installed file with a content hash is hashed anew, whatever the
  // hash cache says: a file damaged behind its back is replaced.
  bool repair = false;
  // Filled as the run goes, when given.
  RunReport* report = nullptr;
  bool Cancelled() const { return cancel != nullptr && cancel->load(); }
};

// The log's line of a run cancelled before its commit.
inline constexpr char kLogCancelledLine[] = "-> Update cancelled\n";

inline constexpr char kLogFile[] = "Quastorell.log";
// The log's last line.
inline constexpr char kLogEndLine[] = "-------------------------\n";
inline constexpr char kProgressTemplate[] = "{F} ( {P}% )";

// Sum of the sizes greater than 0: of a file to be fetched through a patch,
// the patch's size, since that is what travels.
int64_t TotalSize(const std::vector<UpdActionStructure>& actions);
// The bytes an action fetches, as TotalSize counts them.
int64_t FetchSize(const UpdActionStructure& action);

// Writes "Quastorell.log" in the data folder: the header with today's date,
// the lines, and the closing line break. Skipped without a word when it
// cannot be written.
void WriteLogFile(const std::string& data_folder, const std::string& lines,
                  ClientSystem* system);

class Updater {
 public:
  Updater(ClientContext* context, ClientView* view, HttpTransport* transport,
          ClientSystem* system);

  // Opens the progress window, fetches and analyses the manifest and runs
  // the window's event loop until it is closed. Always returns 0.
  int RunUpdate(const std::string& title);

  // Plans the actions for the manifest's entries, in the order of their
  // keys; returns their number. Entries that are refused (a path leaving the
  // base folder, a hash the client cannot check, a negative size, a file
  // another entry names too) are no actions: they are kept in refused() and
  // logged, with why, by the update that applies the actions. Of two entries
  // that name one file as Windows compares names, a file and a Delete are a
  // rename: the Delete is dropped. Any other second one is refused.
  int AnalyseManifest(std::vector<UpdActionStructure>* actions, const Manifest& manifest,
                      std::vector<std::string>* run_list);
  int AnalyseManifest(std::vector<UpdActionStructure>* actions, const ManifestTable& manifest,
                      std::vector<std::string>* run_list);

  // Carries out the planned actions as a whole, runs the marked programs and
  // writes the log. Works on the state RunUpdate set up. Every file is first
  // staged beside its target; then one journal lists every step that puts
  // the staged update in place, and only then are the steps taken, so that
  // a start after a kill completes them (RecoverInterruptedUpdate).
  void ApplyUpdate();

  // What happened, for a front end that reports it.
  struct Outcome {
    bool window_opened = false;
    bool manifest_fetched = false;
    int actions = 0;
    bool applied = false;
    int failures = 0;  // actions and program runs that did not succeed
    int refused = 0;   // manifest entries refused by the analysis
    // Why a manifest was refused although it arrived: its signature, age or
    // expiry; "" otherwise.
    std::string signature_failure;
    // Why what arrived is no manifest to act on: not one complete JSON
    // object, a part of the file, a compressed body; "" otherwise.
    std::string manifest_error;
    // The signed manifest was taken, but the state that keeps older ones
    // out could not be read or written: "" otherwise.
    std::string state_problem;
    // Cancelled before the commit: nothing installed was changed.
    bool cancelled = false;
  };
  const Outcome& outcome() const { return outcome_; }

  // For tests that drive the steps one by one.
  void SetPlan(std::vector<UpdActionStructure> actions, std::vector<std::string> run_list,
               std::vector<std::string> refused = {});
  const std::string& log_text() const { return log_; }
  // Path + Name of the entries the analysis refused, and why.
  const std::vector<std::string>& refused() const { return refused_; }
  std::vector<std::string> refusals() const {
    return std::vector<std::string>(refusals_.begin(), refusals_.end());
  }
  // The installed files' content hashes, kept in the data folder.
  HashCache& hashes();

 private:
  // A language text, as UTF-8.
  std::string Text(const char* key) const;
  void ShowFileMessage(const char* key, const std::string& name);
  void SetSummary(bool with_size);
  void ShowFileDone(const UpdActionStructure& a);
  void ReportFailedAction(const UpdActionStructure& a);
  // What staging made of one download action.
  struct Staged {
    bool ok = false;
    std::string hex;    // the content's SHA-256
    int64_t since = 0;  // the clock before the content was written
    bool from_patch = false;
    // A transfer taken up from an earlier run's partial download failed:
    // the file is fetched whole, once, after the others.
    bool fetch_again = false;
  };
  // An earlier run's partial download of an action's packed file: the
  // file, its length, and the server's version it is of.
  struct Resume {
    std::string partial;
    int64_t from = 0;
    std::string version;
  };
  // Takes up what an earlier run left staged (`kept`, its staging journal's
  // steps): a staged file whose hash is the entry's is used as it is, a
  // partial download of the same packed file is resumed; the rest is
  // removed. Returns the steps this run's staging journal carries on.
  std::vector<JournalStep> TakeUp(const std::vector<JournalStep>& kept,
                                  std::vector<Staged>* staged);
  // The staged file of actions_[i]: this run's, or one an earlier run left.
  std::string FreshName(size_t i) const;
  // Adds a step to this run's staging journal, on disk at once.
  void Record(JournalStep step);
  // Downloads, checks and unpacks the file of actions_[i] beside its target,
  // which stays untouched; false (after the file's message) when it failed.
  // The one way a file is staged: whatever else may stage one (a patch
  // against the installed file) goes through here.
  bool StageFile(size_t i, Staged* staged);
  // Stages the file of actions_[i] from its patch and the installed file
  // instead: the patch is checked against its hash before it is applied,
  // the result against the entry's before it is staged. False, without a
  // message, when anything fails: the caller fetches the file whole then.
  // `why` says what failed, for the log.
  bool StageFromPatch(size_t i, Staged* staged, std::string* why);
  // Stages the files whose patches failed, whole, on a pipeline of their
  // own: once, never again through a patch.
  void StageWhole(const std::vector<size_t>& indexes, std::vector<Staged>* staged);
  // The analysis' choice for a file to fetch: the entry's patch whose base
  // is the installed content, if any.
  void ChoosePatch(const UpdFileStructure& e, const std::string& local, UpdActionStructure* a);

  // Writes this run's log, with the messages when no one sees them.
  void WriteLog(const std::string& lines);
  // What the report says of the analysis and of the commit.
  void ReportPlan();
  void ReportCommit(const std::vector<std::string>& placed);

  bool FailFile(const char* key, const std::string& name, const std::string& dl,
                const std::string& fresh);
  // Ends a run cancelled before its commit: said on a console, logged.
  void EndCancelled();
  // What staging will create, for undoing it after a kill.
  Journal StagingJournal(const std::vector<JournalStep>& taken_up,
                         const std::vector<JournalStep>& carried) const;
  // The steps that put the staged update in place, in the actions' order.
  Journal CommitJournal(const std::vector<Staged>& staged,
                        const std::vector<JournalStep>& carried) const;
  // This run's temporaries beside an installed file: the packed download
  // and the unpacked file that the commit moves into place.
  std::string DownloadName(const std::string& file) const;
  std::string StagedName(const std::string& file) const;
  // `why` must outlive the analysis' results: a constant, or a text in
  // refusal_texts_.
  void Refuse(const UpdFileStructure& entry, std::string_view why);
  // The log's line for the i-th refused entry, and for all of them.
  std::string RefusedLine(size_t i) const;
  std::string RefusedLines() const;
  // Whether an installed file must be fetched under the default rule;
  // `glance` is what GlancePath saw at `local`.
  bool IsOutdated(const UpdFileStructure& e, const std::string& local, const fs::Glance& glance);
  // A path below the base folder, relative to it: the key of an installed
  // file in the hash cache, and a path in the journal.
  std::string CacheKey(const std::string& local) const;

  ClientContext* ctx_;
  ClientView* view_;
  ClientSystem* system_;
  HttpTransport* transport_;
  Downloader downloader_;
  // While ApplyUpdate stages: the downloads ahead, and which of its
  // requests each action is.
  std::unique_ptr<FetchPipeline> pipeline_;
  std::vector<size_t> request_of_;
  const std::string run_token_;
  // While ApplyUpdate stages: its journal as on disk, which records the
  // partial downloads and staged files a later run may take up; and for
  // each action, a staged file or partial download of an earlier run.
  std::string journal_file_;
  Journal staging_;
  std::vector<std::string> fresh_of_;
  std::vector<Resume> resume_;

  std::vector<UpdActionStructure> actions_;
  std::vector<std::string> run_list_;
  std::vector<std::string> refused_;
  // Why each was refused: mostly one of a few constant texts, so a view of
  // it, not a copy for each of what may be many entries.
  std::vector<std::string_view> refusals_;
  std::deque<std::string> refusal_texts_;
  int action_count_ = 0;
  int64_t remaining_ = 0;
  // Content bytes staged so far, of all this update stages.
  int64_t staged_bytes_ = 0;
  int64_t stage_total_ = 0;
  int processed_ = 0;
  std::string log_;
  // Lines for the log of this run whether or not it applies an update.
  std::string notes_;
  bool quit_ = false;
  Outcome outcome_;
  HashCache hashes_;
  // The installation ships the publisher's key: only what the signed
  // manifest's hashes vouch for is installed or run.
  bool signature_required_ = false;
  // Programs to run whose new content is still to be fetched and checked.
  std::set<std::string> unverified_runs_;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_UPDATER_H_
