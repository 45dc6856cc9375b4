#include "builder/console_ui.h"

#include <algorithm>

#include "shared/text.h"

namespace quasto {
namespace {

const char* IconWord(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kError: return "Fehler";
    case MessageIcon::kWarning: return "Warnung";
    case MessageIcon::kInformation: return "Info";
  }
  return "";
}

// Number of characters (not bytes) of UTF-8 text.
size_t Width(const std::string& s) {
  return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string Fit(const std::string& s, size_t width) {
  std::string out;
  size_t n = 0;
  for (char c : s) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++n > width) break;
    out.push_back(c);
  }
  return out + std::string(width > Width(out) ? width - Width(out) : 0, ' ');
}

// Messages carry file names and servers' replies: each line is shown with
// its control characters as "\xNN", so that none acts on the terminal; the
// line breaks of the message stay.
std::string Shown(const std::string& text) {
  std::string out;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    out += EscapeControls(std::string_view(text).substr(start, end - start));
    if (end == std::string::npos) return out;
    out += '\n';
    start = end + 1;
  }
}

}  // namespace

void ConsoleUi::ShowMessage(const std::string& caption, const std::string& text,
                            MessageIcon icon) {
  if (open_ && terminal_) out_ << "\n";
  std::ostream& os = icon == MessageIcon::kInformation ? out_ : err_;
  os << "[" << IconWord(icon) << "] " << Shown(caption) << ": " << Shown(text) << std::endl;
}

void ConsoleUi::BeginProgress(const std::string& title, int maximum) {
  open_ = true;
  title_ = title;
  text_.clear();
  maximum_ = maximum > 0 ? maximum : 1;
  value_ = 0;
  if (terminal_) DrawBar(); else out_ << title << std::endl;
}

void ConsoleUi::ProgressText(const std::string& text) {
  if (!open_) return;
  text_ = EscapeControls(text);
  if (terminal_) DrawBar(); else out_ << "  " << text_ << std::endl;
}

void ConsoleUi::ProgressStep(int value) {
  if (!open_) return;
  value_ = value;
  if (terminal_) DrawBar();
}

void ConsoleUi::EndProgress() {
  if (open_ && terminal_) out_ << "\n" << std::flush;
  open_ = false;
}

void ConsoleUi::DrawBar() {
  constexpr int kBar = 30;
  const int filled = std::clamp(value_ * kBar / maximum_, 0, kBar);
  out_ << "\r" << title_ << " [" << std::string(static_cast<size_t>(filled), '#')
       << std::string(static_cast<size_t>(kBar - filled), '.') << "] " << value_ << "/" << maximum_
       << " " << Fit(text_, 30) << std::flush;
}

}  // namespace quasto
