// Start-up and shutdown of the builder around its event loop.
#ifndef QUASTO_BUILDER_BUILDER_APP_H_
#define QUASTO_BUILDER_BUILDER_APP_H_

#include <string>

#include "builder/builder_state.h"
#include "builder/builder_ui.h"

namespace quasto {

class FtpClient;

// Network, settings store, empty lists, recent projects and FTP settings, in
// that order. `base_folder` "" means the base-folder rule. The main window
// (and its layout file) is the caller's, between the store and the lists.
void StartBuilder(BuilderState& st, BuilderUi& ui, const std::string& base_folder);

// Temporaries of the base folder's documents ("Quastorell.reg.tmp~...")
// that a killed builder left. Another builder may be saving its settings at
// this moment, so only those older than this go.
inline constexpr int kStaleTemporarySeconds = 60;
void RemoveStaleTemporaries(const std::string& folder);

// The two halves of StartBuilder, for the GUI, which opens its layout file
// and main window between them: network, base folder and settings store;
// then the empty lists, the recent projects and the FTP settings.
void StartBuilderFiles(BuilderState& st, const std::string& base_folder);
void StartBuilderLists(BuilderState& st, BuilderUi& ui);

struct ShutdownOptions {
  // The GUI writes its FTP settings back at every exit. The command line
  // writes them only when it changed them, so that a settings file it could
  // not read is not replaced by an empty one.
  bool save_ftp_settings = true;
};

// Command numbers of the main window's menus, popup menu and buttons.
enum CommandId : int {
  kCmdNewProject = 2,
  kCmdOpenProject = 3,
  kCmdConfigureProject = 4,
  kCmdFtpSettings = 5,
  kCmdRecent1 = 7,
  kCmdRecent2 = 8,
  kCmdRecent3 = 9,
  kCmdRuleNormal = 10,
  kCmdRuleIfNotExist = 11,
  kCmdRuleNoUpdate = 12,
  kCmdRuleDelete = 13,
  kCmdGenerate = 57,
  kCmdUpload = 58,
};

// Runs the action of one command of the event loop; unknown ids are
// ignored. The upload connects with `ftp` (MakeFtpClient() when null).
void HandleCommand(BuilderState& st, BuilderUi& ui, int id, FtpClient* ftp = nullptr);

// Closes the open project (its three documents), saves the FTP settings,
// writes the recent projects and saves the settings store. False when any of
// these files could not be written.
bool ShutdownBuilder(BuilderState& st, BuilderUi& ui, const ShutdownOptions& options);

}  // namespace quasto

#endif  // QUASTO_BUILDER_BUILDER_APP_H_
