// The base-folder rule and the folder operations both programs use.
#ifndef QUASTO_SHARED_FOLDERS_H_
#define QUASTO_SHARED_FOLDERS_H_

#include <string>

namespace quasto {

// The folder a program keeps its files in, ending in a separator: the folder
// of its executable, or the current directory when that folder's path holds
// "\Temp\" (exact case, from the third character on), so that a program
// started straight out of an archive works where the user is.
std::string FindBaseFolder();
// The rule itself, for an executable path and a current directory.
std::string BaseFolderFor(const std::string& executable, const std::string& current_dir);

// 1 when the path names a directory whose listing can be started, else 0.
int DirectoryExists(const std::string& path);
// 1 when the path names a file of any size (0 bytes too), 0 for a directory
// or a missing path.
int FileExists(const std::string& path);
// Creates the directory with all missing parents. 1 when it is a directory
// afterwards. Names are data: nothing in them is expanded or run.
int CreateDirectoryTree(const std::string& path);

// True when a manifest entry's Path + Name stays inside the folder it is
// relative to. Refused: an absolute path, a drive or UNC prefix, a ":" (drive
// or stream name), a "." or ".." segment or one made only of dots and blanks,
// an empty segment, a control character (C0, DEL, C1), a Windows device name
// (CON, NUL, COM1, ... with or without extension), a character that a Windows
// code page's best-fit mapping folds into a separator, dot or colon
// (FULLWIDTH REVERSE SOLIDUS and its kind), and for a file entry an empty
// Name. Path is "" or segments each ending in "\".
bool IsSafeEntryPath(const std::string& path, const std::string& name, bool is_file);

// True for a name that Windows takes for a device whatever folder it stands
// in: CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and their superscript digits),
// CONIN$, CONOUT$, in any letter case, also with an extension ("LPT1.x") or
// blanks before it.
bool IsWindowsDeviceName(const std::string& segment);

// True when `path`, with every link, junction and reparse point on the way
// followed, lies in `folder` or below it; for a path that does not exist yet,
// its nearest existing folder decides. A folder link inside an installation
// may lead anywhere: nothing is written, deleted or run where this is false.
bool LeadsInto(const std::string& folder, const std::string& path);

// Ensures a folder path ends in a separator ("\" when it has none yet).
std::string WithTrailingSeparator(std::string folder);
// The text after the last "\" or "/".
std::string FilePart(const std::string& path);
// The text up to and including the last "\" or "/"; "" when there is none.
std::string FolderPart(const std::string& path);

}  // namespace quasto

#endif  // QUASTO_SHARED_FOLDERS_H_
