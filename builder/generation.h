// Change detection (scan, merge, list) and update generation.
#ifndef QUASTO_BUILDER_GENERATION_H_
#define QUASTO_BUILDER_GENERATION_H_

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "builder/builder_state.h"
#include "builder/builder_ui.h"
#include "shared/limits.h"
#include "shared/packer.h"

namespace quasto {

// Label of an update rule in the list's third column.
std::string RuleLabel(int32_t flags);
// The rule value of a label; false for an unknown label.
bool RuleFromLabel(const std::string& label, int32_t* flags);

// Bounds of one scan (the tests use smaller ones).
struct ScanLimits {
  int64_t max_entries = kMaxScanEntries;
  int max_depth = kMaxScanDepth;
};

// Appends every file and folder below `root` to `list`, folders after their
// content. Files named "quastore.uif" in any letter case are skipped.
//
// Nothing outside `root` is ever listed or opened. A link, junction or other
// reparse point that stays inside is taken as the file or folder it names,
// at its own path; one that leads out of the folder or nowhere, one that
// leads back to a folder being scanned (a loop), a FIFO, socket or device,
// a name a Windows installation cannot hold, a file of 2 GiB or more and
// one whose packed name would be too long are listed with their reason in
// Refused, and a refused folder is not entered. A folder that cannot be
// listed is listed as Unlisted; when `root` itself cannot be listed, or the
// scan goes past `limits`, the list gets just one Unlisted entry with empty
// Path and Name (its Refused says why).
void ScanSource(const std::string& root, std::vector<FileEntry>* list,
                const ScanLimits& limits = {});

// The scan's verdict on a name alone: "" when a Windows installation can
// hold it and the updater takes it, else why not.
std::string NameRefusal(const std::string& name);

// Label of a refused entry's row in the file list.
std::string RefusedLabel(const std::string& name, const std::string& reason);

// True when the scan could not list the source folder or a folder in it:
// nothing below such a folder changes state, and nothing is generated.
bool ScanIncomplete(const std::vector<FileEntry>& list);

// The SHA-256 of a scanned file's content; false when it cannot be read.
using ContentHasher = std::function<bool(const FileEntry&, std::string* hex)>;
// Whether a scanned file can be opened for reading.
using ReadableCheck = std::function<bool(const FileEntry&)>;

// Marks new, changed and never packed files and records new ones in the
// manifest, with the reason in each entry's Reason. An entry that records a
// content hash is changed when the file's content differs, whatever its date
// and size say; an entry without one (written before hashes were kept, or
// without a hasher) is changed when the file is newer or has another size.
// An existing entry keeps Date and Size until the file is packed again, and
// its pending upload mark (Update): only a successful upload clears that. A
// proposed file that `readable` cannot open is proposed as unreadable.
//
// Names are compared as Windows compares them (WindowsNameKey): of scanned
// files that name one file there, all but one are refused (the one the
// manifest knows, else the first in byte order; a folder of that name wins
// over them all). A file whose entry is under another spelling was renamed
// in letter case: the entry moves to the new spelling, keeping its rule,
// and is proposed; other entries under spellings of the same name go.
// Refused and removed entries are left alone.
void MergeScan(std::vector<FileEntry>* list, Manifest* manifest,
               const ContentHasher& hasher = nullptr, const ReadableCheck& readable = nullptr);

// How `status` names a reason; "" for kNone.
std::string ProposalText(Proposal reason);

// A file generated but not yet uploaded whose packed file is gone from the
// target folder (the target was changed or cleaned) could never be sent and
// would hold back every later manifest: it is proposed for packing again.
void ProposeMissingPacks(std::vector<FileEntry>* list, const Manifest& manifest,
                         const std::string& target);

// Appends a Removed entry for every file of the manifest that the scan of
// `source` did not find, so that the list shows it and it can take the
// Delete rule. Nothing when the source folder is missing altogether or
// could not be scanned, and nothing below a folder that could not be listed
// or was refused: a drive not mounted or a folder without permission says
// nothing about which files left the release. A refused file is present.
void AddRemovedFiles(std::vector<FileEntry>* list, const Manifest& manifest,
                     const std::string& source);
// Keys of the list's Removed entries.
std::set<std::string> RemovedKeys(const std::vector<FileEntry>& list);

// The open project's target folder: Target, or the base folder's
// "Upload\" + Titel while none is set.
std::string TargetFolder(const BuilderState& st);

// Label of a removed file's row in the file list.
std::string RemovedLabel(const std::string& name);

// Sorts the list by Path, descending, and fills the file list control with a
// row per file, so that the rows run in ascending Path order.
void ShowFileList(BuilderState& st, BuilderUi& ui);

// True when a file removed from the source folder may take the rule: only
// Delete (and no rule) mean anything for a file that is no longer shipped.
bool RuleFitsRemovedFile(int32_t flags);

// Gives the file of `row` the rule, in the list and the manifest; the
// manifest on the server no longer matches, so "Hochladen" is enabled.
// False when there is no such row, or the rule does not fit a removed file.
bool SetRuleOfRow(BuilderState& st, BuilderUi& ui, int row, int32_t flags);
// Context menu items 10 to 13: the same for the selected row, if any.
bool SetRule(BuilderState& st, BuilderUi& ui, int32_t flags);

// Takes the check marks into the entries' Mark and clears them; the number
// of checked rows. Removed files are never packed, checked or not.
int TakeSelection(BuilderState& st, BuilderUi& ui);

// Packs one file into `output_folder` ("": the source file's folder). The
// CRC-32 of the packed file as a signed number; *ok tells whether it was
// written (a CRC may well be 0).
int32_t PackFile(const std::string& source, const std::string& pack_name,
                 const std::string& output_folder, bool* ok, PackResult* detail = nullptr);

// Packed-file name for an entry: MakePackName, with a suffix derived from
// the key when another entry already uses that name (compared without regard
// to case, as Windows file systems and servers do).
// Packed-file names in use (as Windows compares names, non-ASCII letters too)
// and the key of the entry using each.
using PackClaims = std::map<std::string, std::string>;
PackClaims ClaimedPackNames(const Manifest& manifest);
// The same, claiming the chosen name in `claims`.
std::string UniquePackName(PackClaims* claims, const std::string& key, const std::string& path,
                           const std::string& name);
std::string UniquePackName(const Manifest& manifest, const std::string& key,
                           const std::string& path, const std::string& name);

struct GenerationResult {
  int created = 0;
  // Patches made from earlier contents of the files packed, and how many
  // bytes smaller they are than those files whole, added up.
  int patches = 0;
  uint64_t patch_bytes_saved = 0;
  std::vector<std::string> failed;    // keys of files that could not be packed
  std::vector<std::string> refused;   // keys of files that are not published
  // Folders the scan could not list: nothing was generated.
  std::vector<std::string> unlisted;
  std::vector<std::string> not_copied;  // client files missing from the set
  // False when the set could not be written (no project open, a damaged
  // client configuration, a full disk): nothing changed then. Also false
  // when not every file could be renamed into place.
  bool written = true;
  // The signing key could not be used: nothing was generated.
  bool signing_failed = false;
  // The signed manifest could not be written into the update set.
  bool signature_written = true;
  // True when every checked file was packed and recorded.
  bool ok() const {
    return failed.empty() && refused.empty() && unlisted.empty() && written &&
           !signing_failed && signature_written;
  }
};

// Button "Erstellen". When the scan could not list a folder, nothing is
// generated and the message names the folders. The checked files are packed
// on `jobs` worker threads (0: one per core; 1: on this thread) while this
// thread waits, keeping the windows painted; the result, the documents and
// every message are the same for any count. Everything is staged and then
// committed through a journal (generation_journal.h): the update set and the
// project's documents end all old or all new, also after a kill or on a full
// disk.
GenerationResult GenerateUpdate(BuilderState& st, BuilderUi& ui, int jobs = 0);

}  // namespace quasto

#endif  // QUASTO_BUILDER_GENERATION_H_
