#include "shared/folders.h"

#include "shared/fs.h"
#include "shared/text.h"

namespace quasto {

std::string BaseFolderFor(const std::string& executable, const std::string& current_dir) {
  std::string folder = FolderPart(executable);
  // Look for the folder "Temp" whatever separators the platform uses.
  std::string probe = folder;
  for (char& c : probe) {
    if (fs::IsSeparator(c)) c = '\\';
  }
  if (probe.size() > 2 && probe.find("\\Temp\\", 2) != std::string::npos) {
    std::string cwd = current_dir;
    if (cwd.empty() || !fs::IsSeparator(cwd.back())) cwd.push_back(fs::Separator());
    return cwd;
  }
  return folder;
}

std::string FindBaseFolder() {
  return BaseFolderFor(fs::ExecutablePath(), fs::CurrentDirectory());
}

int DirectoryExists(const std::string& path) { return fs::CanListDirectory(path) ? 1 : 0; }

int FileExists(const std::string& path) { return fs::FileSize(path) >= 0 ? 1 : 0; }

int CreateDirectoryTree(const std::string& path) {
  if (path.empty()) return 0;
  // Create every prefix that ends at a separator, then the whole path. Roots,
  // drives and shares cannot be created; their failures do not matter, only
  // the result at the end does.
  for (size_t i = 1; i < path.size(); ++i) {
    if (fs::IsSeparator(path[i]) && !fs::IsSeparator(path[i - 1]) && path[i - 1] != ':') {
      std::string prefix = path.substr(0, i);
      if (!fs::CanListDirectory(prefix)) fs::MakeDirectory(prefix);
    }
  }
  if (!fs::CanListDirectory(path)) fs::MakeDirectory(path);
  return DirectoryExists(path);
}

bool IsWindowsDeviceName(const std::string& segment) {
  // The part before the first dot, blanks at its end ignored, decides.
  std::string stem = segment.substr(0, segment.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* n : kNames) {
    if (stem == n) return true;
  }
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0)) {
    const unsigned char d = static_cast<unsigned char>(stem[3]);
    // COM0..9 and the superscript digits Windows also reserves.
    return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
  }
  if (stem.size() == 5 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0)) {
    // UTF-8 superscript one, two, three: C2 B9, C2 B2, C2 B3.
    return static_cast<unsigned char>(stem[3]) == 0xC2 &&
           (static_cast<unsigned char>(stem[4]) == 0xB9 ||
            static_cast<unsigned char>(stem[4]) == 0xB2 ||
            static_cast<unsigned char>(stem[4]) == 0xB3);
  }
  return false;
}

namespace {

// Characters that Windows' best-fit mapping turns into a separator, a dot or
// a colon when a name is converted to an ANSI code page (1250-1258, 437,
// 850, 866, 874, 932, 936, 949, 950), and their small and look-alike forms.
// A name holding one could become "..\" on its way to an A function.
bool FoldsIntoSeparatorOrDot(char16_t c) {
  static const char16_t kFolding[] = {
      0x00A5,  // YEN SIGN: "\" in code page 932
      0x00B4,  // ACUTE ACCENT: "/" in 1253
      0x0589,  // ARMENIAN FULL STOP: ":"
      0x2024, 0x2025, 0x2026,  // ONE and TWO DOT LEADER, ELLIPSIS: "." or ":"
      0x2044,  // FRACTION SLASH
      0x20A9,  // WON SIGN: "\" in 949
      0x2215, 0x2216,  // DIVISION SLASH, SET MINUS
      0x2236,  // RATIO
      0x29F5, 0x29F8, 0x29F9,  // REVERSE SOLIDUS OPERATOR, BIG SOLIDUS, BIG REVERSE SOLIDUS
      0xFE52, 0xFE55, 0xFE68,  // SMALL FULL STOP, COLON, REVERSE SOLIDUS
      0xFF0E, 0xFF0F, 0xFF1A, 0xFF3C,  // FULLWIDTH FULL STOP, SOLIDUS, COLON, REVERSE SOLIDUS
  };
  for (char16_t f : kFolding) {
    if (c == f) return true;
  }
  return false;
}

bool IsSafeSegment(const std::string& segment) {
  if (segment.empty()) return false;
  // Delete and the C1 controls are controls too (U+009B starts a terminal
  // escape like ESC [).
  for (char16_t c : Utf8ToUtf16(segment)) {
    if (c == 0x7F || (c >= 0x80 && c <= 0x9F) || FoldsIntoSeparatorOrDot(c)) return false;
  }
  bool only_dots_and_blanks = true;
  for (char c : segment) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || c == ':' || c == '/' || c == '\\' || c == '*' || c == '?' || c == '"' ||
        c == '<' || c == '>' || c == '|') {
      return false;
    }
    if (c != '.' && c != ' ') only_dots_and_blanks = false;
  }
  return !only_dots_and_blanks && !IsWindowsDeviceName(segment);
}

}  // namespace

bool IsSafeEntryPath(const std::string& path, const std::string& name, bool is_file) {
  if (!path.empty()) {
    if (path.back() != '\\') return false;
    size_t start = 0;
    while (start < path.size()) {
      size_t end = path.find_first_of("\\/", start);
      if (end == std::string::npos || path[end] != '\\') return false;
      if (!IsSafeSegment(path.substr(start, end - start))) return false;
      start = end + 1;
    }
  }
  if (name.empty()) return !is_file;
  return IsSafeSegment(name);
}

bool LeadsInto(const std::string& folder, const std::string& path) {
  std::string root;
  if (!fs::ResolvePath(folder, &root)) return false;
  while (!root.empty() && fs::IsSeparator(root.back())) root.pop_back();
  std::string p = path;
  for (;;) {
    while (p.size() > 1 && fs::IsSeparator(p.back())) p.pop_back();
    std::string resolved;
    if (fs::ResolvePath(p, &resolved)) {
      return resolved == root || (resolved.size() > root.size() &&
                                  resolved.compare(0, root.size(), root) == 0 &&
                                  fs::IsSeparator(resolved[root.size()]));
    }
    // Not there (or a link that leads nowhere): its folder decides.
    const std::string parent = FolderPart(p);
    if (parent.empty() || parent.size() >= p.size()) return false;
    p = parent;
  }
}

std::string WithTrailingSeparator(std::string folder) {
  if (folder.empty() || !fs::IsSeparator(folder.back())) folder.push_back('\\');
  return folder;
}

std::string FilePart(const std::string& path) {
  size_t pos = path.find_last_of("\\/");
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string FolderPart(const std::string& path) {
  size_t pos = path.find_last_of("\\/");
  return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

}  // namespace quasto
