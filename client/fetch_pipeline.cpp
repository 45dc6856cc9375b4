#include "client/fetch_pipeline.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "client/download.h"

namespace quasto::client {
namespace {

// The fetching thread never shows anything.
class NoView : public ClientView {
 public:
  bool OpenProgressWindow(const std::string&, const std::string&, const std::string&) override {
    return false;
  }
  void CloseProgressWindow() override {}
  void SetText(int, const std::string&) override {}
  void SetFrameCaption(int, const std::string&) override {}
  void SetProgressMaximum(int) override {}
  void SetProgressValue(int) override {}
  void EnableButton(bool) override {}
  void ShowMessage(const std::string&, const std::string&, int) override {}
  void DrainEvents() override {}
  ViewEvent WaitEvent(int) override { return ViewEvent::kNone; }
};

}  // namespace

FetchPipeline::FetchPipeline(HttpTransport* transport, std::vector<Request> requests,
                             size_t queue_bytes)
    : transport_(transport), requests_(std::move(requests)), queue_bytes_(queue_bytes) {
  thread_ = std::thread([this] { Run(); });
}

FetchPipeline::~FetchPipeline() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

size_t FetchPipeline::peak_queued() const {
  std::lock_guard<std::mutex> lock(mu_);
  return peak_;
}

bool FetchPipeline::Push(Item item) {
  std::unique_lock<std::mutex> lock(mu_);
  const size_t size = item.bytes.size();
  // One piece always fits into an empty queue, so a bound below a piece's
  // size slows the transfer down but never stops it.
  changed_.wait(lock, [&] {
    return !Wanted(item.index) || queue_.empty() || queued_ + size <= queue_bytes_;
  });
  if (!Wanted(item.index) && item.kind != Kind::kEnd) return false;
  queued_ += size;
  if (queued_ > peak_) peak_ = queued_;
  queue_.push_back(std::move(item));
  changed_.notify_all();
  return true;
}

void FetchPipeline::Run() {
  NoView no_view;
  Downloader downloader(transport_, &no_view);
  downloader.SetResumes(kTransferResumes);
  for (size_t i = 0; i < requests_.size(); ++i) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) break;
      if (!Wanted(i)) continue;
    }
    Item end{i, Kind::kEnd, {}, 0, {}, 0, {}};
    try {
      const Request& r = requests_[i];
      downloader.SetResponseObserver([&](const HttpResponseInfo& info) {
        // Filled member by member: g++ 12 warns falsely (-Wmaybe-uninitialized)
        // about a braced temporary here in the optimised build.
        Item length;
        length.index = i;
        length.kind = Kind::kLength;
        length.length = info.content_length;
        length.start =
            r.from > 0 && info.status == 206 && info.range_start == r.from ? r.from : 0;
        length.version = info.validator;
        Push(std::move(length));
      });
      auto sink = [&](std::string_view piece) {
        return Push(Item{i, Kind::kPiece, std::string(piece), 0, {}, 0, {}});
      };
      const uint32_t flags = kFlagResynchronize | kFlagNoCacheWrite;
      end.result.received =
          r.from > 0 && !r.if_range.empty()
              ? downloader.ResumeDownloadTo(r.url, r.file_name, flags, kDefaultChunk, r.from,
                                            r.if_range, sink, r.max_bytes)
              : downloader.StartDownloadTo(r.url, r.file_name, flags, 0, kDefaultChunk, sink,
                                           r.max_bytes);
      end.result.status = downloader.last_status();
      end.result.too_long = downloader.last_too_long();
      end.result.not_whole = downloader.last_not_whole();
    } catch (const std::bad_alloc&) {
      end.result = Result();  // a failed transfer
    }
    Push(std::move(end));
  }
  std::lock_guard<std::mutex> lock(mu_);
  finished_ = true;
  changed_.notify_all();
}

FetchPipeline::Result FetchPipeline::Take(size_t index,
                                          const std::function<void(int64_t)>& on_length,
                                          const std::function<bool(std::string_view)>& sink) {
  std::unique_lock<std::mutex> lock(mu_);
  if (index < first_wanted_ || index >= requests_.size()) return Result();
  first_wanted_ = index;
  changed_.notify_all();
  bool refused = false;
  for (;;) {
    changed_.wait(lock, [&] { return !queue_.empty() || finished_; });
    if (queue_.empty()) return Result();  // the thread gave up early
    Item item = std::move(queue_.front());
    queue_.pop_front();
    queued_ -= item.bytes.size();
    changed_.notify_all();
    if (item.index < index) continue;  // of a request passed over
    if (item.kind == Kind::kEnd) {
      first_wanted_ = index + 1;
      Result result = std::move(item.result);
      if (refused) result.received = -1;
      return result;
    }
    if (refused) continue;
    // The caller's work is done without the lock: the thread goes on
    // fetching meanwhile.
    lock.unlock();
    if (item.kind == Kind::kLength) {
      on_length(item.length);
    } else if (!sink(item.bytes)) {
      refused = true;
    }
    lock.lock();
    if (refused) {
      first_wanted_ = index + 1;  // the rest of this one is not fetched
      changed_.notify_all();
    }
  }
}

void FetchPipeline::Open(size_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  cursor_ = index;
  cursor_open_ = true;
  piece_.clear();
  piece_at_ = 0;
  cursor_length_ = -1;
  cursor_start_ = -1;
  cursor_version_.clear();
  cursor_result_ = Result();
  cursor_ended_ = index < first_wanted_ || index >= requests_.size();
  if (!cursor_ended_) {
    first_wanted_ = index;
    changed_.notify_all();
  }
}

int64_t FetchPipeline::Read(char* buf, size_t cap) {
  if (!cursor_open_) return -1;
  while (piece_at_ == piece_.size()) {
    std::unique_lock<std::mutex> lock(mu_);
    if (cursor_ended_) return 0;
    changed_.wait(lock, [&] { return !queue_.empty() || finished_; });
    if (queue_.empty()) {  // the thread gave up early
      cursor_ended_ = true;
      return 0;
    }
    Item item = std::move(queue_.front());
    queue_.pop_front();
    queued_ -= item.bytes.size();
    changed_.notify_all();
    if (item.index < cursor_) continue;  // of a request passed over
    if (item.kind == Kind::kLength) {
      cursor_length_ = item.length;
      // A transfer taken up again within the run answers again; the first
      // answer says what the body is.
      if (cursor_start_ < 0) {
        cursor_start_ = item.start;
        cursor_version_ = std::move(item.version);
      }
    } else if (item.kind == Kind::kEnd) {
      cursor_ended_ = true;
      first_wanted_ = cursor_ + 1;
      cursor_result_ = std::move(item.result);
    } else {
      piece_ = std::move(item.bytes);
      piece_at_ = 0;
    }
  }
  const size_t n = std::min(cap, piece_.size() - piece_at_);
  std::memcpy(buf, piece_.data() + piece_at_, n);
  piece_at_ += n;
  return static_cast<int64_t>(n);
}

FetchPipeline::Result FetchPipeline::Close() {
  if (!cursor_open_) return Result();
  cursor_open_ = false;
  const bool whole = piece_at_ == piece_.size();
  piece_.clear();
  piece_at_ = 0;
  std::unique_lock<std::mutex> lock(mu_);
  if (!cursor_ended_) {
    // The rest is not wanted: its transfer stops, and what it queued goes.
    first_wanted_ = cursor_ + 1;
    changed_.notify_all();
    for (;;) {
      changed_.wait(lock, [&] { return !queue_.empty() || finished_; });
      if (queue_.empty()) break;
      Item item = std::move(queue_.front());
      queue_.pop_front();
      queued_ -= item.bytes.size();
      changed_.notify_all();
      if (item.index == cursor_ && item.kind == Kind::kEnd) break;
      if (item.index > cursor_) {
        queue_.push_front(std::move(item));
        queued_ += queue_.front().bytes.size();
        break;
      }
    }
    cursor_ended_ = true;
    return Result();  // not read to its end: no whole transfer
  }
  Result result = std::move(cursor_result_);
  if (!whole) result.received = -1;
  return result;
}

}  // namespace quasto::client
