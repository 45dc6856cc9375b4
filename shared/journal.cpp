#include "shared/journal.h"

#include <algorithm>
#include <cstdio>

#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/text.h"

namespace quasto::client {
namespace {

constexpr char kMagic[] = "Quastorell journal 1\n";
constexpr char kTrailer[] = "end\t";
constexpr char kBackupSuffix[] = ".bak";
constexpr char kUnreadableSuffix[] = ".bad";
// WriteFileAtomic's temporaries are "<document>.tmp~<unique>".
constexpr char kDocumentPrefix[] = "Quastorell.";
constexpr char kDocumentTemporary[] = ".tmp~";

struct KindName {
  StepKind kind;
  const char* name;
  int fields;  // after the name
};
constexpr KindName kKinds[] = {
    {StepKind::kTemporary, "temp", 1},   {StepKind::kMadeFolder, "made", 1},
    {StepKind::kNote, "note", 1},        {StepKind::kMakeFolder, "mkdir", 2},
    {StepKind::kPlace, "place", 4},      {StepKind::kDelete, "delete", 3},
    {StepKind::kRemoveFolder, "rmdir", 2}, {StepKind::kDropBackup, "drop", 1},
    {StepKind::kPartial, "part", 3},     {StepKind::kStaged, "kept", 2},
};

std::string Hex8(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

// Fields are separated by tabs and steps by line feeds; a log line may hold
// anything a manifest entry's name held.
std::string Escape(std::string_view field) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : field) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '%') {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(std::string_view field, std::string* out) {
  out->clear();
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      out->push_back(field[i]);
      continue;
    }
    if (i + 2 >= field.size()) return false;
    const int hi = HexDigit(field[i + 1]), lo = HexDigit(field[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

bool IsSafeFile(const std::string& rel) {
  return IsSafeEntryPath(FolderPart(rel), FilePart(rel), true);
}

bool IsSafeFolder(const std::string& rel) {
  return !rel.empty() && rel.back() == '\\' && IsSafeEntryPath(rel, "", false);
}

bool IsValid(const JournalStep& s) {
  switch (s.kind) {
    case StepKind::kNote:
      return true;
    case StepKind::kMadeFolder:
    case StepKind::kMakeFolder:
    case StepKind::kRemoveFolder:
      return IsSafeFolder(s.path);
    case StepKind::kPlace:
      // The staged file and the old version stay in the target's folder.
      return IsSafeFile(s.path) && IsSafeFile(s.staged) && IsSafeFile(s.aside) &&
             FolderPart(s.staged) == FolderPart(s.path) &&
             FolderPart(s.aside) == FolderPart(s.path) && s.staged != s.path &&
             s.aside != s.path && s.aside != s.staged;
    case StepKind::kDelete:
      return IsSafeFile(s.path) && IsSafeFile(s.aside) &&
             FolderPart(s.aside) == FolderPart(s.path) && s.aside != s.path;
    case StepKind::kTemporary:
    case StepKind::kDropBackup:
    case StepKind::kPartial:
    case StepKind::kStaged:
      return IsSafeFile(s.path);
  }
  return false;
}

std::vector<std::string*> Fields(JournalStep* s) {
  switch (s->kind) {
    case StepKind::kNote: return {&s->line};
    case StepKind::kMakeFolder:
    case StepKind::kRemoveFolder: return {&s->path, &s->line};
    case StepKind::kPlace: return {&s->path, &s->staged, &s->aside, &s->line};
    case StepKind::kDelete: return {&s->path, &s->aside, &s->line};
    case StepKind::kPartial: return {&s->path, &s->source, &s->version};
    case StepKind::kStaged: return {&s->path, &s->version};
    default: return {&s->path};
  }
}

// Removes a file this client made; its temporaries may carry the read-only
// attribute of the file they stand for.
bool RemoveOwn(const std::string& path) {
  if (FileExists(path) == 0) return true;
  if (fs::RemoveFile(path)) return true;
  const int32_t attr = fs::Attributes(path);
  if (attr <= 0 || (attr & fs::kAttrReadOnly) == 0) return false;
  fs::SetAttributes(path, attr & ~fs::kAttrReadOnly);
  return fs::RemoveFile(path);
}

std::string WithoutSeparator(std::string dir) {
  while (dir.size() > 1 && fs::IsSeparator(dir.back())) dir.pop_back();
  return dir;
}

std::string UniqueName(const std::string& stem, const char* suffix,
                       const std::vector<std::string>& taken) {
  for (int n = 0;; ++n) {
    std::string name = stem;
    if (n > 0) {
      name += '.';
      name += std::to_string(n);
    }
    name += suffix;
    if (FileExists(name) == 0 && DirectoryExists(name) == 0 &&
        std::find(taken.begin(), taken.end(), name) == taken.end()) {
      return name;
    }
  }
}

JournalStep Pending(StepKind kind, const std::string& rel) {
  JournalStep s;
  s.kind = kind;
  s.path = rel;
  return s;
}

// Deletes the old version a step moved aside. While a program still holds
// it, it is deleted by a later start, or at the next boot.
void DropAside(const std::string& base, const std::string& rel, std::vector<JournalStep>* pending) {
  const std::string full = base + rel;
  if (RemoveOwn(full)) return;
  fs::RemoveAtReboot(full);
  pending->push_back(Pending(StepKind::kDropBackup, rel));
}

}  // namespace

int IsDirectoryEmpty(const std::string& path) {
  std::vector<fs::DirEntry> entries;
  if (DirectoryExists(path) == 0 || !fs::ListDirectory(path, &entries)) return 0;
  return entries.empty() ? 1 : 0;
}

std::string JournalText(const Journal& journal) {
  std::string text = kMagic;
  text += journal.committing ? "commit\n" : "stage\n";
  for (const JournalStep& step : journal.steps) {
    JournalStep s = step;
    for (const KindName& k : kKinds) {
      if (k.kind == s.kind) text += k.name;
    }
    for (std::string* field : Fields(&s)) {
      text += '\t';
      text += Escape(*field);
    }
    text += '\n';
  }
  text += kTrailer + Hex8(Crc32(text)) + "\n";
  return text;
}

bool ParseJournal(std::string_view text, Journal* journal) {
  const std::string_view magic = kMagic;
  const size_t trailer_size = sizeof(kTrailer) - 1 + 8 + 1;
  if (text.size() < magic.size() + trailer_size || text.substr(0, magic.size()) != magic) {
    return false;
  }
  const std::string_view body = text.substr(0, text.size() - trailer_size);
  const std::string_view trailer = text.substr(body.size());
  if (trailer != kTrailer + Hex8(Crc32(body)) + "\n" || body.back() != '\n') return false;

  Journal j;
  std::string_view rest = body.substr(magic.size());
  bool first = true;
  while (!rest.empty()) {
    const size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl + 1);
    if (first) {
      if (line != "commit" && line != "stage") return false;
      j.committing = line == "commit";
      first = false;
      continue;
    }
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
      const size_t tab = line.find('\t', start);
      parts.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
      if (tab == std::string_view::npos) break;
      start = tab + 1;
    }
    const KindName* kind = nullptr;
    for (const KindName& k : kKinds) {
      if (parts[0] == k.name) kind = &k;
    }
    if (kind == nullptr || static_cast<int>(parts.size()) != kind->fields + 1) return false;
    JournalStep s;
    s.kind = kind->kind;
    std::vector<std::string*> fields = Fields(&s);
    for (size_t i = 0; i < fields.size(); ++i) {
      if (!Unescape(parts[i + 1], fields[i])) return false;
    }
    if (!IsValid(s)) return false;
    j.steps.push_back(std::move(s));
  }
  if (first) return false;
  *journal = std::move(j);
  return true;
}

CommitResult CarryOut(const std::string& base, const Journal& journal) {
  CommitResult r;
  for (const JournalStep& s : journal.steps) {
    const std::string target = base + s.path;
    switch (s.kind) {
      case StepKind::kNote:
        r.log += s.line;
        break;
      case StepKind::kMakeFolder:
        if (DirectoryExists(target) == 0 && CreateDirectoryTree(target) == 0) ++r.failures;
        // Said also when it failed, as a plain run always did.
        r.log += s.line;
        break;
      case StepKind::kPlace: {
        const std::string staged = base + s.staged;
        const std::string aside = base + s.aside;
        // Done before when the staged file is gone and the target is there.
        bool placed = FileExists(staged) == 0 && FileExists(target) == 1;
        if (!placed && FileExists(staged) == 1) {
          // A read-only file cannot be replaced on Windows; the new one
          // brings its own attributes.
          const int32_t attr = fs::Attributes(target);
          const bool read_only = attr > 0 && (attr & fs::kAttrReadOnly) != 0;
          if (read_only) fs::SetAttributes(target, attr & ~fs::kAttrReadOnly);
          fs::Failure why = fs::Failure::kNone;
          if (fs::ReplaceWith(staged, target, &why)) {
            placed = true;
          } else if (why == fs::Failure::kInUse && FileExists(aside) == 0 &&
                     fs::Rename(target, aside)) {
            // A file in use can still be renamed: the old version steps
            // aside and the new one takes its name.
            placed = fs::Rename(staged, target);
            if (!placed) fs::Rename(aside, target);
          }
          if (!placed) {
            if (read_only) fs::SetAttributes(target, attr);
            RemoveOwn(staged);
          }
        }
        if (placed) {
          r.log += s.line;
          r.placed.push_back(s.path);
          if (FileExists(aside) == 1) DropAside(base, s.aside, &r.pending);
        } else {
          r.log += "-> Update Error: " + EscapeControls(FilePart(s.path)) + "\n";
          r.failed.push_back(s.path);
          ++r.failures;
        }
        break;
      }
      case StepKind::kDelete: {
        bool gone = FileExists(target) == 0;
        if (!gone) {
          fs::Failure why = fs::Failure::kNone;
          gone = fs::RemoveFile(target, &why) ||
                 (why == fs::Failure::kInUse && FileExists(base + s.aside) == 0 &&
                  fs::Rename(target, base + s.aside));
        }
        if (gone) {
          r.log += s.line;
          if (FileExists(base + s.aside) == 1) DropAside(base, s.aside, &r.pending);
        } else {
          ++r.failures;  // a read-only file stays
        }
        break;
      }
      case StepKind::kRemoveFolder:
        if (DirectoryExists(target) == 0) {
          r.log += s.line;  // removed before the run was cut short
        } else if (IsDirectoryEmpty(target) == 1) {
          if (fs::RemoveDir(WithoutSeparator(target))) {
            r.log += s.line;
          } else {
            ++r.failures;
          }
        }
        break;
      case StepKind::kTemporary:
      case StepKind::kPartial:
      case StepKind::kStaged:
        if (!RemoveOwn(target)) r.pending.push_back(Pending(StepKind::kTemporary, s.path));
        break;
      case StepKind::kDropBackup:
        if (!RemoveOwn(target)) r.pending.push_back(Pending(StepKind::kDropBackup, s.path));
        break;
      case StepKind::kMadeFolder:
        break;  // the folder holds new files now
    }
  }
  return r;
}

std::vector<JournalStep> UndoStaging(const std::string& base, const Journal& journal) {
  std::vector<JournalStep> pending;
  for (const JournalStep& s : journal.steps) {
    const bool own = s.kind == StepKind::kTemporary || s.kind == StepKind::kPartial ||
                     s.kind == StepKind::kStaged;
    if ((own || s.kind == StepKind::kDropBackup) && !RemoveOwn(base + s.path)) {
      pending.push_back(Pending(own ? StepKind::kTemporary : s.kind, s.path));
    }
  }
  // Deepest first: a folder is recorded after its parent.
  for (auto it = journal.steps.rbegin(); it != journal.steps.rend(); ++it) {
    if (it->kind == StepKind::kMadeFolder && IsDirectoryEmpty(base + it->path) == 1) {
      fs::RemoveDir(WithoutSeparator(base + it->path));
    }
  }
  return pending;
}

bool HasResumable(const Journal& journal) {
  return std::any_of(journal.steps.begin(), journal.steps.end(), [](const JournalStep& s) {
    return s.kind == StepKind::kPartial || s.kind == StepKind::kStaged;
  });
}

Journal KeepResumable(const std::string& base, const Journal& journal) {
  Journal kept;
  std::vector<std::string> keep;
  for (const JournalStep& s : journal.steps) {
    if ((s.kind == StepKind::kPartial || s.kind == StepKind::kStaged) &&
        FileExists(base + s.path) == 1 &&
        std::find(keep.begin(), keep.end(), s.path) == keep.end()) {
      keep.push_back(s.path);
    }
  }
  Journal rest;
  for (const JournalStep& s : journal.steps) {
    const bool kept_file = std::find(keep.begin(), keep.end(), s.path) != keep.end();
    if (s.kind == StepKind::kPartial || s.kind == StepKind::kStaged) {
      if (kept_file) kept.steps.push_back(s);
    } else if (s.kind == StepKind::kMadeFolder) {
      rest.steps.push_back(s);
    } else if (!kept_file) {
      rest.steps.push_back(s);
    }
  }
  for (const JournalStep& s : UndoStaging(base, rest)) kept.steps.push_back(s);
  // The folders that still hold a kept file stay, recorded before the files
  // as staging recorded them, so that a later undo removes them after.
  std::vector<JournalStep> folders;
  for (const JournalStep& s : rest.steps) {
    if (s.kind == StepKind::kMadeFolder && DirectoryExists(base + s.path) == 1) {
      folders.push_back(s);
    }
  }
  kept.steps.insert(kept.steps.begin(), folders.begin(), folders.end());
  return kept;
}

void SaveKept(const std::string& file, const Journal& kept) {
  if (HasResumable(kept)) {
    Journal j = kept;
    j.committing = false;
    SaveJournal(file, j);
    return;
  }
  std::vector<JournalStep> pending;
  for (const JournalStep& s : kept.steps) {
    if (s.kind == StepKind::kTemporary || s.kind == StepKind::kDropBackup) pending.push_back(s);
  }
  CloseJournal(file, pending);
}

bool SaveJournal(const std::string& file, const Journal& journal) {
  return fs::WriteFileAtomic(file, JournalText(journal));
}

void CloseJournal(const std::string& file, const std::vector<JournalStep>& pending) {
  if (pending.empty()) {
    fs::RemoveFile(file);
    return;
  }
  Journal rest;
  rest.committing = true;
  rest.steps = pending;
  // When even this fails, the whole journal stays; its steps are all done,
  // so repeating them at the next start does no harm.
  SaveJournal(file, rest);
}

namespace {

// The first step `check` refuses, as a reason with the step's path; "".
std::string Refusal(const Journal& j, const StepCheck& check) {
  if (!check) return "";
  for (const JournalStep& s : j.steps) {
    const std::string why = check(s);
    if (!why.empty()) return (s.path.empty() ? std::string() : s.path + ": ") + why;
  }
  return "";
}

// Renames the journal aside, so that a person can look; the log line.
std::string SetAside(const std::string& file, const std::string& what) {
  const std::string aside = UniqueName(file, kUnreadableSuffix, {});
  fs::Rename(file, aside);
  return "-> Journal " + what + ", set aside: " + FilePart(aside);
}

}  // namespace

std::vector<JournalStep> PendingSteps(const std::string& file, const StepCheck& check,
                                      std::string* log) {
  std::string text;
  Journal j;
  std::vector<JournalStep> out;
  if (!fs::ReadFile(file, &text) || !ParseJournal(text, &j) || !j.committing) return out;
  const std::string why = Refusal(j, check);
  if (!why.empty()) {
    const std::string line = SetAside(file, "unsafe") + " (" + EscapeControls(why) + ")\n";
    if (log != nullptr) *log += line;
    return out;
  }
  for (const JournalStep& s : j.steps) {
    if (s.kind == StepKind::kDropBackup || s.kind == StepKind::kTemporary) out.push_back(s);
  }
  return out;
}

std::vector<JournalStep> KeptSteps(const std::string& file, const StepCheck& check,
                                   std::string* log) {
  std::string text;
  Journal j;
  // Only a staging that ended keeps anything for a later run; the start
  // undoes any other (the journal of a run at work is none of this one's).
  if (!fs::ReadFile(file, &text) || !ParseJournal(text, &j) || j.committing ||
      !HasResumable(j)) {
    return {};
  }
  const std::string why = Refusal(j, check);
  if (!why.empty()) {
    const std::string line = SetAside(file, "unsafe") + " (" + EscapeControls(why) + ")\n";
    if (log != nullptr) *log += line;
    return {};
  }
  return j.steps;
}

void DropKept(const std::string& base, const std::string& file, const StepCheck& check) {
  std::string text;
  Journal j;
  if (!fs::ReadFile(file, &text) || !ParseJournal(text, &j) || j.committing ||
      !HasResumable(j)) {
    return;
  }
  if (!Refusal(j, check).empty()) return;  // the next start sets it aside
  CloseJournal(file, UndoStaging(base, j));
}

std::string AsideName(const std::string& full, const std::vector<std::string>& taken) {
  return UniqueName(full, kBackupSuffix, taken);
}

Recovery RecoverInterruptedUpdate(const std::string& base, const std::string& data,
                                  const StepCheck& check) {
  // A kill while a document was being replaced leaves its temporary.
  std::vector<fs::DirEntry> entries;
  if (fs::ListDirectory(data, &entries)) {
    for (const fs::DirEntry& e : entries) {
      if (!e.is_directory && e.name.rfind(kDocumentPrefix, 0) == 0 &&
          e.name.find(kDocumentTemporary) != std::string::npos) {
        fs::RemoveFile(data + e.name);
      }
    }
  }

  Recovery r;
  const std::string file = data + kJournalFile;
  if (FileExists(file) == 0) return r;
  std::string text;
  Journal j;
  if (!fs::ReadFile(file, &text) || !ParseJournal(text, &j)) {
    // Acting on part of a journal could mix versions; a person must look.
    r.kind = Recovery::kSetAside;
    r.log = SetAside(file, "unreadable") + "\n";
    r.failures = 1;
    return r;
  }
  const std::string why = Refusal(j, check);
  if (!why.empty()) {
    r.kind = Recovery::kSetAside;
    r.log = SetAside(file, "unsafe") + " (" + EscapeControls(why) + ")\n";
    r.failures = 1;
    return r;
  }
  if (!j.committing) {
    // What a later run can take up stays for it; the rest goes.
    if (HasResumable(j)) {
      SaveKept(file, KeepResumable(base, j));
    } else {
      CloseJournal(file, UndoStaging(base, j));
    }
    r.kind = Recovery::kUndone;
    return r;
  }
  const bool update = std::any_of(j.steps.begin(), j.steps.end(), [](const JournalStep& s) {
    return s.kind != StepKind::kDropBackup && s.kind != StepKind::kTemporary;
  });
  CommitResult c = CarryOut(base, j);
  CloseJournal(file, c.pending);
  if (update) {
    r.kind = Recovery::kCompleted;
    r.log = c.log;
    r.failures = c.failures;
  }
  return r;
}

}  // namespace quasto::client
