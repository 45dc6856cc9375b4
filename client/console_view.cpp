#include "client/console_view.h"

#include <algorithm>

#include "shared/text.h"

namespace quasto::client {
namespace {

// Message texts end in blanks and may hold line breaks; on a terminal the
// lines are indented under the caption.
std::string Trimmed(const std::string& s) {
  size_t end = s.find_last_not_of(" \r\n");
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

// Names come from the manifest: a terminal is shown them, and never acts on
// the escape sequences they may hold.
std::string Shown(const std::string& s) { return EscapeControls(s); }

const char* IconWord(int icon) {
  switch (icon) {
    case kIconError: return "error";
    case kIconWarning: return "warning";
    default: return "info";
  }
}

}  // namespace

ConsoleView::ConsoleView(std::FILE* out, std::FILE* in, bool live, bool unattended,
                         std::string question)
    : out_(out), in_(in), live_(live), unattended_(unattended), question_(std::move(question)) {}

bool ConsoleView::OpenProgressWindow(const std::string& title, const std::string& summary,
                                     const std::string&) {
  summary_ = summary;
  std::fprintf(out_, "%s\n", title.empty() ? "Quastorell" : Shown(title).c_str());
  return true;
}

void ConsoleView::CloseProgressWindow() {
  EndLiveLine();
  std::fflush(out_);
}

void ConsoleView::EndLiveLine() {
  if (line_open_) {
    std::fputc('\n', out_);
    line_open_ = false;
  }
}

void ConsoleView::Redraw() {
  if (live_) {
    constexpr int kWidth = 30;
    const int max = std::max(maximum_, 1);
    const int filled = std::clamp(value_, 0, max) * kWidth / max;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(out_, "\r\033[K[%s] %s", bar.c_str(), Shown(status_).c_str());
    line_open_ = true;
    std::fflush(out_);
  } else if (status_ != last_printed_) {
    std::fprintf(out_, "%s\n", Shown(status_).c_str());
    last_printed_ = status_;
  }
}

void ConsoleView::SetText(int control, const std::string& text) {
  switch (control) {
    case kStatusText:
      status_ = text;
      Redraw();
      break;
    case kCountText:
      count_ = text;
      break;
    case kSummaryText:
      summary_ = text;
      break;
    default:
      break;
  }
}

void ConsoleView::SetFrameCaption(int, const std::string& text) {
  if (text == frame_) return;
  frame_ = text;
  EndLiveLine();
  std::fprintf(out_, "== %s\n", Shown(text).c_str());
}

void ConsoleView::SetProgressMaximum(int maximum) { maximum_ = maximum; }

void ConsoleView::SetProgressValue(int value) {
  value_ = value;
  if (live_) Redraw();
}

void ConsoleView::EnableButton(bool enabled) { button_ = enabled; }

void ConsoleView::ShowMessage(const std::string& title, const std::string& text, int icon) {
  EndLiveLine();
  // Its own line breaks stay, indented; everything else is shown escaped.
  const std::string trimmed = Trimmed(text);
  std::string body;
  for (size_t start = 0;;) {
    const size_t nl = trimmed.find('\n', start);
    body += Shown(trimmed.substr(start, nl == std::string::npos ? nl : nl - start));
    if (nl == std::string::npos) break;
    body += "\n  ";
    start = nl + 1;
  }
  std::fprintf(out_, "[%s]%s:\n  %s\n", IconWord(icon), Shown(title).c_str(), body.c_str());
  std::fflush(out_);
}

void ConsoleView::ShowDetail(const std::string& line) {
  EndLiveLine();
  std::fprintf(out_, "  %s\n", Shown(line).c_str());
  std::fflush(out_);
}

void ConsoleView::DrainEvents() { std::fflush(out_); }

ViewEvent ConsoleView::WaitEvent(int) {
  EndLiveLine();
  if (!button_ || asked_) {
    std::fprintf(out_, "%s %s\n", Shown(count_).c_str(), Shown(summary_).c_str());
    return ViewEvent::kCloseWindow;
  }
  asked_ = true;
  std::fprintf(out_, "%s %s\n", Shown(count_).c_str(), Shown(summary_).c_str());
  if (unattended_) return ViewEvent::kButton;
  std::fprintf(out_, "%s [y/N] ", question_.c_str());
  std::fflush(out_);
  char answer[64] = {0};
  if (in_ == nullptr || std::fgets(answer, sizeof(answer), in_) == nullptr) {
    std::fputc('\n', out_);
    return ViewEvent::kCloseWindow;
  }
  const char c = answer[0];
  return (c == 'y' || c == 'Y' || c == 'j' || c == 'J') ? ViewEvent::kButton
                                                        : ViewEvent::kCloseWindow;
}

}  // namespace quasto::client
