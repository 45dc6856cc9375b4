#include "builder/generation_journal.h"

#include <cstdio>
#include <vector>

#include "builder/delta.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/packed_file.h"

namespace quasto {
namespace {

constexpr char kMagic[] = "Quastorell generation 1\n";
constexpr char kTargetField[] = "target\t";
constexpr char kTrailer[] = "end\t";
// A part's own trailer line, as the shared journal ends it.
constexpr std::string_view kPartEnd = "\nend\t";
constexpr size_t kCrcDigits = 8;

std::string Hex8(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

bool StartsWith(const std::string& s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Keeps only the steps still to be taken later, or removes the journal.
void CloseGenerationJournal(const std::string& file, const GenerationJournal& done,
                            std::vector<client::JournalStep> pending_target,
                            std::vector<client::JournalStep> pending_projects) {
  if (pending_target.empty() && pending_projects.empty()) {
    fs::RemoveFile(file);
    return;
  }
  GenerationJournal rest;
  rest.committing = true;
  rest.target = done.target;
  rest.in_target.committing = rest.in_projects.committing = true;
  rest.in_target.steps = std::move(pending_target);
  rest.in_projects.steps = std::move(pending_projects);
  // When even this fails the whole journal stays; its steps are done and
  // safe to repeat.
  SaveGenerationJournal(file, rest);
}

void RemoveMatching(const std::string& folder, bool (*match)(const std::string&, const void*),
                    const void* arg) {
  std::vector<fs::DirEntry> entries;
  if (!fs::ListDirectory(folder, &entries)) return;
  for (const fs::DirEntry& e : entries) {
    if (!e.is_directory && match(e.name, arg)) fs::RemoveFile(folder + e.name);
  }
}

// A generation's temporary, or one of a document save ("Quastorell.x.tmp~").
bool IsBuilderTemporary(const std::string& name, const void*) {
  return StartsWith(name, kStagedPrefix) ||
         (StartsWith(name, "Quastorell.") && name.find(".tmp~") != std::string::npos);
}

// The same, and the ".part" files that earlier builders packed into. A
// packed file or patch is the set's whatever its name: a release file may be
// called "~qgen.notes.txt", and no temporary ends as they do.
bool IsSetTemporary(const std::string& name, const void* arg) {
  if (EndsWith(name, ".uzf") || EndsWith(name, ".uzp")) return false;
  return IsBuilderTemporary(name, arg) || EndsWith(name, ".uzf.part");
}

bool IsProjectTemporary(const std::string& name, const void* arg) {
  return IsBuilderTemporary(name, arg) || name == "Quastorell.uif.send";
}

// The project's ".upf" temporaries in "Projects\", which holds other
// projects' files too: a project may be called "Demo.upf.tmp~1", and no
// temporary ends in ".upf".
bool IsProjectFileTemporary(const std::string& name, const void* arg) {
  const std::string& upf = *static_cast<const std::string*>(arg);
  if (EndsWith(name, ".upf")) return false;
  return StartsWith(name, upf + ".tmp~") || StartsWith(name, upf + ".~qgen");
}

}  // namespace

std::string GenerationJournalText(const GenerationJournal& journal) {
  client::Journal in_target = journal.in_target, in_projects = journal.in_projects;
  in_target.committing = in_projects.committing = journal.committing;
  std::string text = kMagic;
  text += kTargetField + journal.target + "\n";
  text += client::JournalText(in_target);
  text += client::JournalText(in_projects);
  text += kTrailer + Hex8(Crc32(text)) + "\n";
  return text;
}

bool ParseGenerationJournal(std::string_view text, GenerationJournal* journal) {
  const std::string_view magic = kMagic;
  const size_t trailer_size = sizeof(kTrailer) - 1 + kCrcDigits + 1;
  if (text.size() < magic.size() + trailer_size || text.substr(0, magic.size()) != magic) {
    return false;
  }
  const std::string_view body = text.substr(0, text.size() - trailer_size);
  if (text.substr(body.size()) != kTrailer + Hex8(Crc32(body)) + "\n") return false;

  std::string_view rest = body.substr(magic.size());
  const size_t line_end = rest.find('\n');
  if (line_end == std::string_view::npos || rest.substr(0, sizeof(kTargetField) - 1) != kTargetField) {
    return false;
  }
  GenerationJournal j;
  j.target = std::string(rest.substr(sizeof(kTargetField) - 1, line_end - (sizeof(kTargetField) - 1)));
  if (j.target.empty() || !fs::IsSeparator(j.target.back()) ||
      j.target.find('\t') != std::string::npos) {
    return false;
  }
  rest.remove_prefix(line_end + 1);
  // The first part ends with its own trailer line; the second is the rest.
  const size_t end = rest.find(kPartEnd);
  const size_t first_size = end == std::string_view::npos ? 0 : end + kPartEnd.size() + kCrcDigits + 1;
  if (first_size == 0 || first_size > rest.size() ||
      !client::ParseJournal(rest.substr(0, first_size), &j.in_target) ||
      !client::ParseJournal(rest.substr(first_size), &j.in_projects) ||
      j.in_target.committing != j.in_projects.committing) {
    return false;
  }
  j.committing = j.in_target.committing;
  *journal = std::move(j);
  return true;
}

bool SaveGenerationJournal(const std::string& file, const GenerationJournal& journal) {
  return fs::WriteFileAtomic(file, GenerationJournalText(journal));
}

int CommitGeneration(const std::string& projects_folder, const std::string& file,
                     const GenerationJournal& journal) {
  const client::CommitResult in_target = client::CarryOut(journal.target, journal.in_target);
  const client::CommitResult in_projects =
      client::CarryOut(WithTrailingSeparator(projects_folder), journal.in_projects);
  CloseGenerationJournal(file, journal, in_target.pending, in_projects.pending);
  return in_target.failures + in_projects.failures;
}

void UndoGeneration(const std::string& projects_folder, const std::string& file,
                    const GenerationJournal& journal) {
  std::vector<client::JournalStep> in_target = client::UndoStaging(journal.target, journal.in_target);
  std::vector<client::JournalStep> in_projects =
      client::UndoStaging(WithTrailingSeparator(projects_folder), journal.in_projects);
  CloseGenerationJournal(file, journal, std::move(in_target), std::move(in_projects));
}

GenerationRecovery RecoverGeneration(const std::string& projects_folder,
                                     const std::string& project_folder) {
  GenerationRecovery r;
  const std::string file = WithTrailingSeparator(project_folder) + kGenerationJournalFile;
  if (FileExists(file) == 0) return r;
  std::string text;
  GenerationJournal j;
  if (!fs::ReadFile(file, &text) || !ParseGenerationJournal(text, &j)) {
    // Acting on part of a journal could mix two sets; a person must look.
    for (int n = 0; n < 1000 && r.aside.empty(); ++n) {
      std::string aside = file;
      if (n > 0) aside.append(".").append(std::to_string(n));
      aside.append(".bad");
      if (FileExists(aside) == 0 && fs::Rename(file, aside)) r.aside = aside;
    }
    r.kind = GenerationRecovery::kSetAside;
    return r;
  }
  if (!j.committing) {
    UndoGeneration(projects_folder, file, j);
    r.kind = GenerationRecovery::kUndone;
    return r;
  }
  r.failures = CommitGeneration(projects_folder, file, j);
  r.kind = GenerationRecovery::kCompleted;
  return r;
}

GenerationStaging::GenerationStaging(std::string target, std::string projects_folder,
                                     std::string journal_file)
    : target_(WithTrailingSeparator(std::move(target))),
      projects_(WithTrailingSeparator(std::move(projects_folder))),
      file_(std::move(journal_file)) {
  // Temporaries of one run are told apart from an earlier run's leftovers;
  // the project's lock keeps two runs from staging at once.
  char token[16];
  std::snprintf(token, sizeof token, "%010llx",
                static_cast<unsigned long long>(fs::ClockNowNs()) & 0xFFFFFFFFFFull);
  token_ = token;
  staging_.target = target_;
}

std::string GenerationStaging::Register(bool in_target, const std::string& rel) {
  Entry e;
  e.in_target = in_target;
  e.rel = rel;
  const std::string folder = FolderPart(rel);
  if (!in_target && folder.empty()) {
    // Beside the other projects' files in "Projects\": named after its own.
    e.staged = rel + ".~qgen" + token_;
  } else {
    // A name of its own, short whatever the file's: packed-file names may
    // be as long as a name can be.
    e.staged = folder + kStagedPrefix + token_ + "." + std::to_string(entries_.size());
  }
  entries_.push_back(e);
  return FullPath(entries_.back(), entries_.back().staged);
}

std::string GenerationStaging::FullPath(const Entry& e, const std::string& rel) const {
  return (e.in_target ? target_ : projects_) + rel;
}

std::string GenerationStaging::InTarget(const std::string& rel) { return Register(true, rel); }
std::string GenerationStaging::InProjects(const std::string& rel) { return Register(false, rel); }

GenerationJournal GenerationStaging::CommitJournal(bool all) const {
  GenerationJournal j;
  j.committing = true;
  j.target = target_;
  for (const Entry& e : entries_) {
    if (!all && !e.written) {
      // Staged but not taken (a file that failed): only removed.
      for (const std::string& temporary : {e.staged, e.staged + ".part"}) {
        client::JournalStep step;
        step.kind = client::StepKind::kTemporary;
        step.path = temporary;
        (e.in_target ? j.in_target : j.in_projects).steps.push_back(std::move(step));
      }
      continue;
    }
    client::JournalStep step;
    step.kind = client::StepKind::kPlace;
    step.path = e.rel;
    step.staged = e.staged;
    // Where a file in use steps aside, should one be (Windows).
    step.aside = e.staged + ".old";
    (e.in_target ? j.in_target : j.in_projects).steps.push_back(std::move(step));
  }
  return j;
}

bool GenerationStaging::Begin() {
  // A journal that would not read back could never be completed.
  GenerationJournal check;
  if (!ParseGenerationJournal(GenerationJournalText(CommitJournal(true)), &check)) return false;
  staging_.committing = false;
  for (const Entry& e : entries_) {
    for (const std::string& temporary : {e.staged, e.staged + ".part"}) {
      client::JournalStep step;
      step.kind = client::StepKind::kTemporary;
      step.path = temporary;
      (e.in_target ? staging_.in_target : staging_.in_projects).steps.push_back(std::move(step));
    }
  }
  begun_ = SaveGenerationJournal(file_, staging_);
  return begun_;
}

void GenerationStaging::Written(const std::string& staged) {
  for (Entry& e : entries_) {
    if (FullPath(e, e.staged) == staged) e.written = true;
  }
}

int GenerationStaging::Commit() {
  const GenerationJournal j = CommitJournal(false);
  // The one step that decides: before it the set is the old one, after it
  // the new one, also when the run ends here.
  if (!SaveGenerationJournal(file_, j)) {
    Undo();
    return -1;
  }
  return CommitGeneration(projects_, file_, j);
}

void GenerationStaging::Undo() {
  if (begun_) {
    UndoGeneration(projects_, file_, staging_);
    return;
  }
  for (const Entry& e : entries_) fs::RemoveFile(FullPath(e, e.staged));
}

void SweepLeftovers(const std::string& target, const std::string& projects_folder,
                    const std::string& project_stem) {
  const std::string set = WithTrailingSeparator(target);
  RemoveMatching(set, IsSetTemporary, nullptr);
  RemoveMatching(set + "Quasto\\", IsSetTemporary, nullptr);
  const std::string projects = WithTrailingSeparator(projects_folder);
  RemoveMatching(projects + project_stem + "\\", IsProjectTemporary, nullptr);
  SweepKeptContents(projects + project_stem + "\\");
  const std::string upf = project_stem + ".upf";
  RemoveMatching(projects, IsProjectFileTemporary, &upf);
}

}  // namespace quasto
