// Projects: their three documents, the recent-projects list, the operations
// new, open, open recent, configure and close, and the project settings
// dialog's logic.
#ifndef QUASTO_BUILDER_PROJECT_H_
#define QUASTO_BUILDER_PROJECT_H_

#include <string>

#include "builder/builder_state.h"
#include "builder/builder_ui.h"

namespace quasto {

// "Projects\" below the base folder, and a project's own folder there.
std::string ProjectsFolder(const BuilderState& st);
std::string ProjectFolder(const BuilderState& st, const std::string& file_name);

// Documents of a project, named by its file name ("Demo.upf"). The save
// operations create the folders they need and replace documents atomically.
bool SaveProject(BuilderState& st, const std::string& file_name);
// Path of the written document, "" when it could not be written. A project
// made before projects had an identity gets one here.
std::string SaveClientConfig(BuilderState& st, const std::string& file_name);
// A new project identity: 128 random bits as 32 lower-case hex digits.
std::string NewProjectId();
std::string SaveManifest(BuilderState& st, const std::string& file_name);

// Why a project could not be taken up.
enum class OpenOutcome {
  kOpened,
  kNotFound,  // no ".upf" of that name
  kDamaged,   // one of its documents cannot be read: it is left as it is
  kInUse,     // another builder works on it
  kNoLock,    // its lock file cannot be made
};

// Takes the project's lock into st.lock (keeping it when st holds it
// already) and finishes what an interrupted generation of it left. A
// message titled `caption` says why when it cannot.
OpenOutcome ClaimProject(BuilderState& st, BuilderUi& ui, const std::string& file_name,
                         const std::string& caption);
// Lets go of the project's lock.
void ReleaseProject(BuilderState& st);

// Reads the project's record, its client configuration and its manifest.
// They replace the records in st (the manifest only `with_manifest`) only
// when every one could be read: a missing client configuration reads as empty,
// a missing manifest as one without entries; a document that is there but
// cannot be read stops it, with a message naming the file. The caller has
// claimed the project.
OpenOutcome ReadProjectDocuments(BuilderState& st, BuilderUi& ui, const std::string& file_name,
                                 bool with_manifest, const std::string& caption);

// Points the content-hash cache at the open project's source folder, read
// from the project's folder unless it is already there.
void PrepareHashCache(BuilderState& st);

void UpdateRecentProjects(BuilderState& st, const std::string& file_name);
void ShowRecentProjects(const BuilderState& st, BuilderUi& ui);

// Writes the open project's three documents, with the version and date the
// main window shows, and leaves no project open (its lock released). False
// when a document could not be written (the previous one is then still
// there).
bool CloseProject(BuilderState& st, BuilderUi& ui);
// Menu "Neue Projekt". True when a project was created.
bool NewProject(BuilderState& st, BuilderUi& ui);
// Menu "Projekt öffnen". True when a project was opened.
bool OpenProject(BuilderState& st, BuilderUi& ui);
// Menu items 7 to 9; slot is 1, 2 or 3.
bool OpenRecentProject(BuilderState& st, BuilderUi& ui, int slot);
// Claims a project and reads its documents (ClaimProject and
// ReadProjectDocuments), then removes what killed runs left in its folders.
// A project whose record cannot be read is not claimed at all, so that
// nothing of it changes.
OpenOutcome TakeUpProject(BuilderState& st, BuilderUi& ui, const std::string& file_name,
                          bool with_manifest, const std::string& caption);

// Opens the project file name (with ".upf") from "Projects\": the shared
// tail of the open operations. Nothing is open unless it returns kOpened.
OpenOutcome OpenProjectFile(BuilderState& st, BuilderUi& ui, const std::string& file_name);
bool OpenProjectNamed(BuilderState& st, BuilderUi& ui, const std::string& file_name);
// Menu "Projekt konfigurieren".
void ConfigureProject(BuilderState& st, BuilderUi& ui);

// The program field's text for a picked executable: relative to the source
// folder when that exists, else the bare file name.
std::string ProgramFieldText(const std::string& source_field, const std::string& chosen);

// Why the text cannot stand as a project's name, which names its file and
// folder (German, for the dialog and the command line); "" when it can. On
// every platform, as projects move between them: no characters Windows
// refuses in file names, no device name (CON, NUL, COM1, "LPT1.x", ...), not
// ending in a dot or blank, UTF-8.
std::string ProjectNameProblem(const std::string& name);
// True when ProjectNameProblem has nothing to say.
bool IsValidProjectName(const std::string& name);

// True when "Projects\" already holds a project of that name, in any letter
// case: Windows file names ignore it, so the new project would replace it.
bool ProjectNameTaken(const BuilderState& st, const std::string& name);

struct ProjectDialogFields {
  std::string name;      // 42
  std::string source;    // 32
  std::string target;    // 35
  bool ftp = false;      // 37
  std::string ftp_dir;   // 38, enabled while ftp is set
  std::string url;       // 45
  std::string prog_exe;  // 47
  bool restart = false;  // 49
  std::string mutex;     // 51
};

// The logic of the dialog "Projekt - Einstellungen". The UI shows `fields`,
// keeps them in step with its controls and calls the handlers.
class ProjectDialog {
 public:
  // file_name "" for a new project.
  ProjectDialog(BuilderState& st, BuilderUi& ui, std::string file_name);

  ProjectDialogFields fields;

  void PickSource();
  void PickTarget();
  void PickProgram();
  // "Übernehmen": validates, then writes the records and documents. True
  // when the dialog closes with its result 1.
  bool Apply();

  const std::string& file_name() const { return file_name_; }

 private:
  BuilderState& st_;
  BuilderUi& ui_;
  std::string file_name_;
};

// Runs the dialog; 1 when applied, 0 when closed without applying.
int EditProjectSettings(BuilderState& st, BuilderUi& ui, std::string* file_name);

}  // namespace quasto

#endif  // QUASTO_BUILDER_PROJECT_H_
