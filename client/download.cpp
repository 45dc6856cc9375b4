#include "client/download.h"

#include <cctype>
#include <new>

#include "client/client_text.h"
#include "shared/folders.h"

namespace quasto::client {

DownloadProgress::DownloadProgress(ClientView* view, const ProgressBinding& binding, bool show,
                                   const std::string& file_name)
    : view_(view),
      binding_(binding),
      show_(show && binding.control != 0),
      display_(FilePart(file_name)) {}

void DownloadProgress::Begin() {
  view_->PostNotification(kDownloadStarted);
  if (show_) {
    view_->SetText(binding_.control,
                   FillProgressTemplate(binding_.templ, "0", "0 Byte", display_));
  }
}

void DownloadProgress::Show() {
  if (!show_) return;
  if (content_length_ > 0) percent_ = received_ * 100 / content_length_;
  view_->SetText(binding_.control,
                 FillProgressTemplate(binding_.templ, std::to_string(percent_),
                                      FormatByteSize(static_cast<double>(received_), 2),
                                      display_));
}

void DownloadProgress::Piece(size_t size) {
  received_ += static_cast<int64_t>(size);
  Show();
  view_->PostNotification(kDownloadProgress);
}

void DownloadProgress::End(bool ok) {
  // The final, empty read shows the last state once more.
  if (ok) Show();
  view_->PostNotification(kDownloadEnded);
}

std::optional<std::string> Downloader::StartDownload(const std::string& url,
                                                     const std::string& file_name,
                                                     int64_t open_flags, int progress_flags,
                                                     int chunk, int64_t max_bytes) {
  std::string body;
  int64_t n = StartDownloadTo(
      url, file_name, open_flags, progress_flags, chunk,
      [&body](std::string_view piece) {
        try {
          body.append(piece);
        } catch (const std::bad_alloc&) {
          return false;
        }
        return true;
      },
      max_bytes);
  if (n <= 0) return std::nullopt;
  return body;
}

int64_t Downloader::StartDownloadTo(const std::string& url, const std::string& file_name,
                                    int64_t open_flags, int progress_flags, int chunk,
                                    const std::function<bool(std::string_view)>& sink,
                                    int64_t max_bytes) {
  const uint32_t flags =
      open_flags == -1 ? kFlagNoCacheDefault : static_cast<uint32_t>(open_flags);
  if (chunk <= 0) chunk = kDefaultChunk;
  DownloadProgress progress(view_, binding_, (progress_flags & kProgressText) != 0, file_name);

  int64_t content_length = -1;
  int status = 0;
  std::string encoding;
  int64_t received = 0;
  bool sink_ok = true;
  bool too_long = false;
  // Only a 200 is the whole file: a 206 is a part of it, and a compressed
  // body is another file.
  auto identity = [&] {
    std::string e = encoding;
    for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return e.empty() || e == "identity";
  };
  auto success = [&] { return status == 200 && identity(); };

  progress.Begin();
  bool ok = transport_->Get(
      url, flags, chunk,
      [&](const HttpResponseInfo& info) {
        status = info.status;
        content_length = info.content_length;
        encoding = info.content_encoding;
        progress.Length(content_length);
        if (observer_) observer_(info);
      },
      [&](std::string_view piece) {
        // An error page, or a redirect's own page, is not the file: stop
        // before taking any of it.
        if (!success()) return false;
        if (max_bytes >= 0 &&
            (content_length > max_bytes ||
             received + static_cast<int64_t>(piece.size()) > max_bytes)) {
          too_long = true;
          return false;
        }
        received += static_cast<int64_t>(piece.size());
        if (!sink(piece)) {
          sink_ok = false;
          return false;
        }
        progress.Piece(piece.size());
        return true;
      });
  last_status_ = status;
  last_too_long_ = too_long;
  last_not_whole_.clear();
  // Built piece by piece: g++ 12 warns falsely (-Wrestrict) about a literal
  // joined to a temporary here.
  if (status >= 200 && status <= 299 && status != 200) {
    last_not_whole_ = "HTTP status ";
    last_not_whole_ += std::to_string(status);
    last_not_whole_ += " is not the whole file";
  } else if (status == 200 && !identity()) {
    last_not_whole_ = "the server sent it in Content-Encoding \"";
    last_not_whole_ += encoding;
    last_not_whole_ += "\"";
  }
  progress.End(ok);
  if (!ok || !sink_ok || too_long || !success() || received == 0) return -1;
  return received;
}

}  // namespace quasto::client
