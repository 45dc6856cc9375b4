// StartDownload: fetches one URL completely, shows its progress in a bound
// text control and hands the body over, to memory or piece by piece.
#ifndef QUASTO_CLIENT_DOWNLOAD_H_
#define QUASTO_CLIENT_DOWNLOAD_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "client/http.h"
#include "client/view.h"

namespace quasto::client {

// Progress flag bit: show progress in the bound text control.
inline constexpr int kProgressText = 2;
inline constexpr int kDefaultChunk = 65536;

// The text control and template that show download progress.
struct ProgressBinding {
  int control = 0;
  std::string templ;
};

// Shows one download's progress in a bound text control and posts its
// notifications, as the bytes come: the same for a transfer made here and
// for one made on another thread (FetchPipeline) and shown here.
class DownloadProgress {
 public:
  // `show`: whether the text control shows it at all.
  DownloadProgress(ClientView* view, const ProgressBinding& binding, bool show,
                   const std::string& file_name);
  void Begin();
  void Length(int64_t content_length) { content_length_ = content_length; }
  void Piece(size_t size);
  // `ok`: the transfer came to its end; its last state is shown once more.
  void End(bool ok);

 private:
  void Show();
  ClientView* view_;
  const ProgressBinding& binding_;
  const bool show_;
  const std::string display_;
  int64_t content_length_ = -1;
  int64_t received_ = 0;
  int64_t percent_ = 0;
};

class Downloader {
 public:
  Downloader(HttpTransport* transport, ClientView* view) : transport_(transport), view_(view) {}

  void BindProgressText(int control, const std::string& templ) {
    binding_ = {control, templ};
  }
  const ProgressBinding& binding() const { return binding_; }
  // The HTTP status of the last transfer's response; 0 when none came.
  int last_status() const { return last_status_; }
  // Whether the last transfer was stopped for going past its `max_bytes`.
  bool last_too_long() const { return last_too_long_; }
  // Why the last answer was refused although the server gave one as a
  // success: a 2xx other than 200 (a part, or no body), or a body in
  // another Content-Encoding than identity. "" otherwise.
  const std::string& last_not_whole() const { return last_not_whole_; }
  // How often a transfer of a file that breaks off is taken up again where
  // it broke (a range request, as long as the file is the same version), by
  // StartDownloadTo, before the file fails. 0, the default: never.
  void SetResumes(int attempts) { resumes_ = attempts; }
  // Bytes received in all of the last transfer's requests, resumed ones
  // included (a server that serves no ranges sends the start again).
  int64_t last_fetched() const { return last_fetched_; }
  // Called with each response's headers, before its body.
  void SetResponseObserver(std::function<void(const HttpResponseInfo&)> observer) {
    observer_ = std::move(observer);
  }

  // The whole body, or nothing when the transfer failed, the server's final
  // answer was not 200 with the body as it lies on the server (an error
  // page, a redirect that was not followed, a part of the file or a
  // compressed one is not the file), the body was empty, or longer than
  // `max_bytes` (when not negative; announced or received, it is stopped at
  // once). `file_name` only names the download in the progress text ({F}:
  // its file part). open_flags -1 selects the no-cache default; chunk <= 0
  // selects 64 KiB. Memory that runs out ends the transfer as a failure.
  std::optional<std::string> StartDownload(const std::string& url, const std::string& file_name,
                                           int64_t open_flags, int progress_flags, int chunk,
                                           int64_t max_bytes = -1);

  // The same, handing each piece of the body to `sink` instead of keeping it.
  // Returns the number of bytes received, or -1 on failure as above (also
  // when `sink` refused a piece); 0 bytes counts as failure too.
  int64_t StartDownloadTo(const std::string& url, const std::string& file_name,
                          int64_t open_flags, int progress_flags, int chunk,
                          const std::function<bool(std::string_view)>& sink,
                          int64_t max_bytes = -1);
  // The same for a file of which the first `from` bytes are at hand: asks
  // for the rest, as long as it is still the version `if_range` names. A 206
  // from byte `from` hands the rest to `sink`; a 200 (another version, or a
  // server that serves no ranges) hands it the whole file from its start,
  // and last_start() says which. `max_bytes` bounds the whole file.
  int64_t ResumeDownloadTo(const std::string& url, const std::string& file_name,
                           int64_t open_flags, int chunk, int64_t from,
                           const std::string& if_range,
                           const std::function<bool(std::string_view)>& sink,
                           int64_t max_bytes = -1);
  // Where in the file the last transfer's body began: `from` when a resumed
  // request was answered with the rest, else 0.
  int64_t last_start() const { return last_start_; }

 private:
  HttpTransport* transport_;
  ClientView* view_;
  ProgressBinding binding_;
  int last_status_ = 0;
  bool last_too_long_ = false;
  std::string last_not_whole_;
  std::function<void(const HttpResponseInfo&)> observer_;
  int resumes_ = 0;
  int64_t last_fetched_ = 0;
  int64_t last_start_ = 0;

  int64_t Transfer(const std::string& url, const std::string& file_name, int64_t open_flags,
                   int progress_flags, int chunk, int64_t from, const std::string& if_range,
                   const std::function<bool(std::string_view)>& sink, int64_t max_bytes);
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_DOWNLOAD_H_
