// A generation is committed as a whole: the update set (packed files, the
// client's files, the signed manifest) and the project's documents all stay
// old, or all become new. Everything is first staged under temporary names
// beside its place, with a journal that lists those temporaries; then one
// atomic write replaces that journal by the list of renames into place, and
// only then are they taken. The next start of either builder, before it
// reads the project, undoes a staging that was cut short or completes the
// renames of a commit (RecoverGeneration): the shared journal's steps, each
// safe to repeat.
//
// A set spans two folders, so the journal has two parts: steps relative to
// the target folder (which it names) and steps relative to "Projects\".
#ifndef QUASTO_BUILDER_GENERATION_JOURNAL_H_
#define QUASTO_BUILDER_GENERATION_JOURNAL_H_

#include <string>
#include <string_view>
#include <vector>

#include "shared/journal.h"

namespace quasto {

// In the project's own folder.
inline constexpr char kGenerationJournalFile[] = "Quastorell.journal";
// Temporaries of a generation start with this, in the target folder, its
// "Quasto\" and the project's folder.
inline constexpr char kStagedPrefix[] = "~qgen.";

struct GenerationJournal {
  bool committing = false;
  std::string target;           // absolute, ending in a separator
  client::Journal in_target;    // relative to `target`
  client::Journal in_projects;  // relative to the "Projects\" folder
  bool operator==(const GenerationJournal&) const = default;
};

// The stored form: a header naming the target, the two parts as the shared
// journal writes them, and a CRC-32 over all.
std::string GenerationJournalText(const GenerationJournal& journal);
// False unless the text is one whole, undamaged journal with valid parts.
bool ParseGenerationJournal(std::string_view text, GenerationJournal* journal);
// Atomically, flushed to disk.
bool SaveGenerationJournal(const std::string& file, const GenerationJournal& journal);

// Takes the renames of a committing journal, then removes the journal
// `file` (or keeps in it what could not be removed yet, such as an old
// version still in use); the number of steps that failed.
int CommitGeneration(const std::string& projects_folder, const std::string& file,
                     const GenerationJournal& journal);
// Removes what a staging made, then the journal.
void UndoGeneration(const std::string& projects_folder, const std::string& file,
                    const GenerationJournal& journal);

struct GenerationRecovery {
  enum Kind {
    kNothing,    // no journal
    kUndone,     // a staging was cut short: the set is the old one
    kCompleted,  // a commit was cut short: the set is the new one
    kSetAside,   // the journal cannot be read: renamed to "Quastorell.journal.bad"
  };
  Kind kind = kNothing;
  std::string aside;  // kSetAside: the new name of the journal
  int failures = 0;   // kCompleted: renames that failed
};

// Finishes what an interrupted generation of the project in
// `project_folder` (below `projects_folder`) left. The caller holds the
// project's lock.
GenerationRecovery RecoverGeneration(const std::string& projects_folder,
                                     const std::string& project_folder);

// The staging and commit of one generation.
class GenerationStaging {
 public:
  // `target`: the update set's folder; `projects_folder`: "Projects\";
  // `journal_file`: the journal in the project's folder.
  GenerationStaging(std::string target, std::string projects_folder, std::string journal_file);

  // Registers a file of the update set (`rel` to the target folder) or of
  // the project's documents (`rel` to "Projects\"); the full path of its
  // temporary, for the caller to write.
  std::string InTarget(const std::string& rel);
  std::string InProjects(const std::string& rel);
  // Once every file is registered, before any is written: the journal of
  // the staging, which lists the temporaries. False when it could not be
  // written, or when a name could never go into a journal.
  bool Begin();
  // The temporary `staged` (as returned above) was written whole.
  void Written(const std::string& staged);
  // Replaces the journal by the renames of the written files and takes
  // them. The number that failed; -1 when the journal could not be written,
  // and then nothing changed.
  int Commit();
  // Removes the temporaries and the journal: nothing changed.
  void Undo();

 private:
  struct Entry {
    bool in_target;
    std::string rel;     // the file's place
    std::string staged;  // its temporary, beside it
    bool written = false;
  };
  std::string Register(bool in_target, const std::string& rel);
  GenerationJournal CommitJournal(bool all) const;
  std::string FullPath(const Entry& e, const std::string& rel) const;

  std::string target_, projects_, file_, token_;
  std::vector<Entry> entries_;
  GenerationJournal staging_;
  bool begun_ = false;
};

// Removes the temporaries that killed runs left: of generations (also the
// ".part" files of earlier builders) and of document saves, in the target
// folder and its "Quasto\", the project's folder, and its ".upf" beside it
// in `projects_folder`. Never touches another project's files.
void SweepLeftovers(const std::string& target, const std::string& projects_folder,
                    const std::string& project_stem);

}  // namespace quasto

#endif  // QUASTO_BUILDER_GENERATION_JOURNAL_H_
