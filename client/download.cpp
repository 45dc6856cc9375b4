#include "client/download.h"

#include <cctype>
#include <new>

#include "client/client_text.h"
#include "shared/folders.h"

namespace quasto::client {

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
  const std::string display = FilePart(file_name);
  const bool show = (progress_flags & kProgressText) != 0 && binding_.control != 0;

  int64_t content_length = -1;
  int status = 0;
  std::string encoding;
  int64_t received = 0;
  int64_t percent = 0;
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

  auto show_progress = [&] {
    if (!show) return;
    if (content_length > 0) percent = received * 100 / content_length;
    view_->SetText(binding_.control,
                   FillProgressTemplate(binding_.templ, std::to_string(percent),
                                        FormatByteSize(static_cast<double>(received), 2),
                                        display));
  };

  view_->PostNotification(kDownloadStarted);
  if (show) {
    view_->SetText(binding_.control,
                   FillProgressTemplate(binding_.templ, "0", "0 Byte", display));
  }
  bool ok = transport_->Get(
      url, flags, chunk,
      [&](const HttpResponseInfo& info) {
        status = info.status;
        content_length = info.content_length;
        encoding = info.content_encoding;
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
        show_progress();
        view_->PostNotification(kDownloadProgress);
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
  // The final, empty read shows the last state once more.
  if (ok) show_progress();
  view_->PostNotification(kDownloadEnded);
  if (!ok || !sink_ok || too_long || !success() || received == 0) return -1;
  return received;
}

}  // namespace quasto::client
