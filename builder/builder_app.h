// Start-up and shutdown of the builder around its event loop.
#ifndef QUASTO_BUILDER_BUILDER_APP_H_
#define QUASTO_BUILDER_BUILDER_APP_H_

#include <string>

#include "builder/builder_state.h"
#include "builder/builder_ui.h"

namespace quasto {

// Network, settings store, empty lists, recent projects and FTP settings, in
// that order. `base_folder` "" means the base-folder rule. The main window
// (and its layout file) is the caller's, between the store and the lists.
void StartBuilder(BuilderState& st, BuilderUi& ui, const std::string& base_folder);

struct ShutdownOptions {
  // The GUI writes its FTP settings back at every exit. The command line
  // writes them only when it changed them, so that a settings file it could
  // not read is not replaced by an empty one.
  bool save_ftp_settings = true;
};

// Closes the open project (its three documents), saves the FTP settings,
// writes the recent projects and saves the settings store.
void ShutdownBuilder(BuilderState& st, BuilderUi& ui, const ShutdownOptions& options);

}  // namespace quasto

#endif  // QUASTO_BUILDER_BUILDER_APP_H_
