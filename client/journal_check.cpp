#include "client/journal_check.h"

#include <algorithm>
#include <memory>

#include "client/entry_checks.h"
#include "shared/folders.h"
#include "shared/fs.h"

namespace quasto::client {
namespace {

constexpr std::string_view kTemporarySuffixes[] = {".~qdl", ".~qnew"};
constexpr std::string_view kOldVersionSuffix = ".bak";
constexpr size_t kTokenDigits = 16;

bool EndsWith(std::string_view s, std::string_view end) {
  return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

bool IsLowerHex(std::string_view s) {
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool IsNumber(std::string_view s) {
  if (s.empty() || s[0] == '0') return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Log lines are the client's own: one line, nothing a terminal or an editor
// would act on.
bool IsPlainLine(const std::string& line) {
  if (line.empty()) return true;
  if (line.back() != '\n') return false;
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// Whether `aside` is a name the client gives the old version of `path`.
bool IsOldVersionOf(const std::string& aside, const std::string& path) {
  const std::string stem = OldVersionOf(aside);
  if (stem == path) return true;
  return stem.size() > path.size() + 1 && stem.compare(0, path.size(), path) == 0 &&
         stem[path.size()] == '.' && IsNumber(std::string_view(stem).substr(path.size() + 1));
}

class StepRules {
 public:
  StepRules(const std::string& base, const std::string& data, const std::string& executable)
      : base_(base), checks_(base, data, executable) {}

  std::string Check(const JournalStep& s) {
    if (!IsPlainLine(s.line)) return "its log line is not one line of text";
    switch (s.kind) {
      case StepKind::kNote:
        return "";
      case StepKind::kMakeFolder:
        return std::string(checks_.FolderRefusal(s.path, false));
      case StepKind::kMadeFolder:
      case StepKind::kRemoveFolder:
        return std::string(checks_.FolderRefusal(s.path, true));
      case StepKind::kPlace: {
        std::string why = File(s.path, false);
        if (why.empty() && TemporaryOf(s.staged) != s.path) {
          why = "the file to put in place is no temporary this client makes";
        }
        if (why.empty() && !EndsWith(s.staged, ".~qnew")) {
          why = "the file to put in place is no unpacked file of this client";
        }
        if (why.empty()) why = Stays(s.staged);
        if (why.empty()) why = OldVersion(s.aside, s.path);
        return why;
      }
      case StepKind::kDelete: {
        std::string why = File(s.path, true);
        if (why.empty()) why = OldVersion(s.aside, s.path);
        return why;
      }
      case StepKind::kTemporary: {
        const std::string stem = TemporaryOf(s.path);
        if (stem.empty()) return "it is no temporary this client makes";
        std::string why = File(stem, false);
        if (why.empty()) why = Stays(s.path);
        return why;
      }
      case StepKind::kPartial:
      case StepKind::kStaged: {
        // Taken up by a later run: only the client's own temporaries of
        // the kind each one is.
        const bool partial = s.kind == StepKind::kPartial;
        const std::string stem = TemporaryOf(s.path);
        if (stem.empty() || !EndsWith(s.path, partial ? ".~qdl" : ".~qnew")) {
          return partial ? "it is no partial download this client makes"
                         : "it is no unpacked file of this client";
        }
        auto plain = [](const std::string& text) {
          return std::none_of(text.begin(), text.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
          });
        };
        if (!plain(s.source) || !plain(s.version)) {
          return "what it records is not one line of text";
        }
        std::string why = File(stem, false);
        if (why.empty()) why = Stays(s.path);
        return why;
      }
      case StepKind::kDropBackup: {
        const std::string stem = OldVersionOf(s.path);
        if (stem.empty()) return "it is no old version this client keeps";
        std::string why = File(stem, false);
        if (why.empty()) why = Stays(s.path);
        return why;
      }
    }
    return "it is no step of this client";
  }

 private:
  std::string File(const std::string& rel, bool deleting) {
    return std::string(checks_.FileRefusal(FolderPart(rel), FilePart(rel), deleting));
  }
  // A file the client made itself is no link; one that is may lead anywhere.
  std::string Stays(const std::string& rel) {
    const std::string full = base_ + rel;
    return fs::GlancePath(full).is_link && !LeadsInto(base_, full) ? kLinkOut : "";
  }
  std::string OldVersion(const std::string& aside, const std::string& path) {
    if (!IsOldVersionOf(aside, path)) return "its old version's name is none this client gives";
    return Stays(aside);
  }

  std::string base_;
  EntryChecks checks_;
};

}  // namespace

std::string TemporaryOf(const std::string& path) {
  for (std::string_view suffix : kTemporarySuffixes) {
    if (!EndsWith(path, suffix)) continue;
    const size_t token_end = path.size() - suffix.size();
    if (token_end < kTokenDigits + 2) return "";
    const size_t dot = token_end - kTokenDigits - 1;
    if (path[dot] != '.' ||
        !IsLowerHex(std::string_view(path).substr(dot + 1, kTokenDigits))) {
      return "";
    }
    return path.substr(0, dot);
  }
  return "";
}

std::string OldVersionOf(const std::string& path) {
  if (!EndsWith(path, kOldVersionSuffix) || path.size() == kOldVersionSuffix.size()) return "";
  return path.substr(0, path.size() - kOldVersionSuffix.size());
}

StepCheck JournalStepCheck(const std::string& base_folder, const std::string& data_folder,
                           const std::string& executable) {
  auto rules = std::make_shared<StepRules>(base_folder, data_folder, executable);
  return [rules](const JournalStep& s) { return rules->Check(s); };
}

}  // namespace quasto::client
