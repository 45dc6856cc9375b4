// The update run: fetch the manifest, compare it with the installed files,
// and on the button press carry out the planned actions and write the log.
#ifndef QUASTO_CLIENT_UPDATER_H_
#define QUASTO_CLIENT_UPDATER_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "client/download.h"
#include "client/http.h"
#include "client/system.h"
#include "client/view.h"
#include "shared/content_hash.h"
#include "shared/documents.h"
#include "shared/language.h"

namespace quasto::client {

// What an action does.
enum ActionKind : int32_t {
  kActionDownload = 0,
  kActionDeleteFile = 4,
  kActionDeleteDir = 8,
  kActionCreateDir = 32,
  // A manifest entry whose path would leave the base folder: nothing is done
  // for it but an error line in the log.
  kActionRefused = 0x100,
};

struct UpdActionStructure {
  std::string Dir;   // full directory path, for directory actions
  std::string File;  // full local file path, for file actions; the entry's
                     // own Path + Name for a refused one
  std::string Pack;
  int32_t CRC = 0;
  int32_t Size = 0;
  int32_t Date = 0;
  int32_t Attrib = 0;
  int32_t Action = 0;
  // The entry's content hash (lower case), "" when it records none: the
  // unpacked file must have it, or it is not installed.
  std::string SHA256;
  bool operator==(const UpdActionStructure&) const = default;
};

// The process-wide values the run sequence sets up.
struct ClientContext {
  std::string base_folder;  // ends in a separator
  std::string data_folder;  // base_folder + "Quasto\"
  UpdaterStructure config;  // URL ends in "/"
  LanguageTable language;
};

inline constexpr char kLogFile[] = "Quastorell.log";
inline constexpr char kProgressTemplate[] = "{F} ( {P}% )";

// 1 when the path is an existing directory with no file and no subdirectory.
int IsDirectoryEmpty(const std::string& path);

// Sum of the sizes greater than 0.
int64_t TotalSize(const std::vector<UpdActionStructure>& actions);

class Updater {
 public:
  Updater(ClientContext* context, ClientView* view, HttpTransport* transport,
          ClientSystem* system);

  // Opens the progress window, fetches and analyses the manifest and runs
  // the window's event loop until it is closed. Always returns 0.
  int RunUpdate(const std::string& title);

  // Plans the actions for the manifest's entries; returns their number.
  int AnalyseManifest(std::vector<UpdActionStructure>* actions, const Manifest& manifest,
                      std::vector<std::string>* run_list);

  // Carries out the planned actions, runs the marked programs and writes the
  // log. Works on the state RunUpdate set up.
  void ApplyUpdate();

  // What happened, for a front end that reports it.
  struct Outcome {
    bool window_opened = false;
    bool manifest_fetched = false;
    int actions = 0;
    bool applied = false;
    int failures = 0;  // actions and program runs that did not succeed
    // Why a manifest was refused although it arrived: its signature, age or
    // expiry; "" otherwise.
    std::string signature_failure;
  };
  const Outcome& outcome() const { return outcome_; }

  // For tests that drive the steps one by one.
  void SetPlan(std::vector<UpdActionStructure> actions, std::vector<std::string> run_list);
  const std::string& log_text() const { return log_; }
  // The installed files' content hashes, kept in the data folder.
  HashCache& hashes();

 private:
  // A language text, as UTF-8.
  std::string Text(const char* key) const;
  void ShowFileMessage(const char* key, const std::string& name);
  void SetSummary(bool with_size);
  // One download action; false when the file was not replaced.
  bool ReplaceFile(const UpdActionStructure& action);
  bool FailFile(const char* key, const std::string& name, const std::string& dl,
                const std::string& fresh);
  void WriteLog();
  // Whether an installed file must be fetched under the default rule.
  bool IsOutdated(const UpdFileStructure& e, const std::string& local);
  // The key of an installed file in the hash cache: its path below the
  // base folder.
  std::string CacheKey(const std::string& local) const;

  ClientContext* ctx_;
  ClientView* view_;
  ClientSystem* system_;
  Downloader downloader_;

  std::vector<UpdActionStructure> actions_;
  std::vector<std::string> run_list_;
  int action_count_ = 0;
  int64_t remaining_ = 0;
  int processed_ = 0;
  std::string log_;
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
