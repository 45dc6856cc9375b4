#include "client/console_view.h"

#include <algorithm>
#include <chrono>

#include "client/client_text.h"
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
    : out_(out),
      in_(in),
      live_(live),
      unattended_(unattended),
      question_(std::move(question)),
      now_ms_([] {
        return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
      }) {}

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
    const std::string transfer = TransferText();
    std::fprintf(out_, "\r\033[K[%s] %s%s%s", bar.c_str(), Shown(status_).c_str(),
                 transfer.empty() ? "" : "  ", transfer.c_str());
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

void ConsoleView::ShowTransfer(int64_t done, int64_t total) {
  const int64_t now = now_ms_();
  if (transfer_done_ < 0) transfer_start_ms_ = now;
  transfer_done_ = done;
  transfer_total_ = total;
  transfer_now_ms_ = now;
  // A line drawn for every piece would keep a slow terminal busy; a few
  // times a second is what the eye takes in. Plain lines do without it.
  const bool recent = last_transfer_draw_ms_ >= 0 && now - last_transfer_draw_ms_ < 200;
  if (!live_ || (recent && done < total)) return;
  last_transfer_draw_ms_ = now;
  Redraw();
}

std::string ConsoleView::TransferText() const {
  if (transfer_done_ < 0) return "";
  std::string text = FormatByteSize(static_cast<double>(transfer_done_), 2) + " of " +
                     FormatByteSize(static_cast<double>(transfer_total_), 2);
  const int64_t elapsed = transfer_now_ms_ - transfer_start_ms_;
  // Below half a second the speed says little yet.
  if (elapsed < 500 || transfer_done_ <= 0) return text;
  const double per_second =
      static_cast<double>(transfer_done_) * 1000.0 / static_cast<double>(elapsed);
  text += ", " + FormatByteSize(per_second, 2) + "/s";
  if (transfer_done_ < transfer_total_) {
    const auto left = static_cast<int64_t>(
        static_cast<double>(transfer_total_ - transfer_done_) / per_second + 0.999);
    char clock[32];
    if (left < 60) {
      std::snprintf(clock, sizeof clock, "%lld s", static_cast<long long>(left));
    } else if (left < 3600) {
      std::snprintf(clock, sizeof clock, "%lld:%02lld min", static_cast<long long>(left / 60),
                    static_cast<long long>(left % 60));
    } else {
      std::snprintf(clock, sizeof clock, "%lld:%02lld:%02lld h",
                    static_cast<long long>(left / 3600), static_cast<long long>(left / 60 % 60),
                    static_cast<long long>(left % 60));
    }
    text += ", ";
    text += clock;
    text += " left";
  }
  return text;
}

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
