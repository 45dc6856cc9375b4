#include "client/download.h"

#include <algorithm>
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
  return Transfer(url, file_name, open_flags, progress_flags, chunk, 0, "", sink, max_bytes);
}

int64_t Downloader::ResumeDownloadTo(const std::string& url, const std::string& file_name,
                                     int64_t open_flags, int chunk, int64_t from,
                                     const std::string& if_range,
                                     const std::function<bool(std::string_view)>& sink,
                                     int64_t max_bytes) {
  return Transfer(url, file_name, open_flags, 0, chunk, from, if_range, sink, max_bytes);
}

namespace {

bool IsIdentity(std::string e) {
  for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return e.empty() || e == "identity";
}

}  // namespace

int64_t Downloader::Transfer(const std::string& url, const std::string& file_name,
                             int64_t open_flags, int progress_flags, int chunk, int64_t from,
                             const std::string& if_range,
                             const std::function<bool(std::string_view)>& sink,
                             int64_t max_bytes) {
  const uint32_t flags =
      open_flags == -1 ? kFlagNoCacheDefault : static_cast<uint32_t>(open_flags);
  if (chunk <= 0) chunk = kDefaultChunk;
  DownloadProgress progress(view_, binding_, (progress_flags & kProgressText) != 0, file_name);

  // `start` is where in the file the sink's first byte lies, `total` the
  // file's announced length (-1 unknown).
  int64_t start = 0;
  int64_t total = -1;
  int status = 0;
  std::string encoding;
  int64_t received = 0;
  bool sink_ok = true;
  bool too_long = false;
  // The rest of a file asked for with a range, from the byte asked for.
  bool rest_of_file = false;
  // Only a 200 is the whole file: a 206 is a part of it, and a compressed
  // body is another file.
  auto identity = [&] { return IsIdentity(encoding); };
  auto success = [&] { return (status == 200 || (status == 206 && rest_of_file)) && identity(); };

  // A transfer taken up again after a break: the part of the file it
  // starts with that was taken before is passed over.
  std::string validator;
  bool resuming = false;
  bool resume_refused = false;
  int64_t skip = 0;
  int64_t fetched = 0;
  auto on_piece = [&](std::string_view piece) {
    fetched += static_cast<int64_t>(piece.size());
    // An error page, or a redirect's own page, is not the file: stop
    // before taking any of it.
    if (!success() || resume_refused) return false;
    if (skip > 0) {
      const size_t passed = static_cast<size_t>(std::min<int64_t>(skip, piece.size()));
      skip -= static_cast<int64_t>(passed);
      piece.remove_prefix(passed);
      if (piece.empty()) return true;
    }
    if (max_bytes >= 0 &&
        (total > max_bytes ||
         start + received + static_cast<int64_t>(piece.size()) > max_bytes)) {
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
  };
  auto on_start = [&](const HttpResponseInfo& info) {
    status = info.status;
    encoding = info.content_encoding;
    validator = info.validator;
    if (from > 0 && status == 206 && info.range_start == from) {
      rest_of_file = true;
      start = from;
    }
    total = info.content_length < 0 ? -1 : start + info.content_length;
    progress.Length(info.content_length);
    if (observer_) observer_(info);
  };

  progress.Begin();
  bool ok = from > 0 ? transport_->GetFrom(url, flags, chunk, from, if_range, on_start, on_piece)
                     : transport_->Get(url, flags, chunk, on_start, on_piece);
  // Only the same version of a file whose length is known can be joined
  // from parts; the final hash check still decides whether it is the file.
  for (int attempt = 0; !ok && attempt < resumes_ && success() && sink_ok && !too_long &&
                        !resume_refused && !validator.empty() && start + received > 0 &&
                        total > start + received;
       ++attempt) {
    resuming = true;
    const int64_t at = start + received;
    const int64_t fetched_before = fetched;
    ok = transport_->GetFrom(
        url, flags, chunk, at, validator,
        [&](const HttpResponseInfo& info) {
          const bool plain = IsIdentity(info.content_encoding);
          if (info.status == 206 && info.range_start == at && plain) {
            skip = 0;
          } else if (info.status == 200 && plain && info.validator == validator &&
                     info.content_length == total) {
            // The same file from its start: the server serves no ranges.
            skip = at;
          } else {
            // Another version, or an answer that is not the rest of it.
            resume_refused = true;
          }
        },
        on_piece);
    // A server that sends nothing more is not asked again and again.
    if (!ok && fetched == fetched_before) break;
  }
  // A file joined from parts is whole only at its announced length.
  if (ok && (resuming || rest_of_file) && start + received != total) ok = false;
  if (resume_refused) ok = false;
  last_fetched_ = fetched;
  last_start_ = start;
  last_status_ = status;
  last_too_long_ = too_long;
  last_not_whole_.clear();
  // Built piece by piece: g++ 12 warns falsely (-Wrestrict) about a literal
  // joined to a temporary here.
  if (status >= 200 && status <= 299 && status != 200 && !rest_of_file) {
    last_not_whole_ = "HTTP status ";
    last_not_whole_ += std::to_string(status);
    last_not_whole_ += " is not the whole file";
  } else if (status == 200 && !identity()) {
    last_not_whole_ = "the server sent it in Content-Encoding \"";
    last_not_whole_ += encoding;
    last_not_whole_ += "\"";
  }
  progress.End(ok);
  if (!ok || !sink_ok || too_long || !success() || start + received == 0) return -1;
  return received;
}

}  // namespace quasto::client
