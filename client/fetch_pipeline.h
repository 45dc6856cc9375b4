// The downloads of an update, made one after the other on a thread of their
// own over the one transport (so one connection), while the caller's thread
// checks, unpacks and writes the files before: the network does not wait
// for the disk, nor the disk for the network. A bounded queue between the
// two keeps memory flat whatever the files' sizes.
//
// The thread only moves bytes: it judges each answer as Downloader does
// (only a whole 200 in identity encoding, never more than its bound) but
// never touches the view. What a file's bytes mean, and what is shown, is
// the caller's.
#ifndef QUASTO_CLIENT_FETCH_PIPELINE_H_
#define QUASTO_CLIENT_FETCH_PIPELINE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/http.h"
#include "shared/limits.h"

namespace quasto::client {

class FetchPipeline {
 public:
  struct Request {
    std::string url;
    std::string file_name;  // names the download where the transport logs it
    int64_t max_bytes = -1;
    // The first `from` bytes are at hand (a partial download of an earlier
    // run): only the rest is asked for, as long as the server's version is
    // still the one `if_range` names.
    int64_t from = 0;
    std::string if_range;
  };
  // As Downloader reports a transfer: `received` is the bytes taken, or -1
  // when the transfer failed, was refused or was not whole.
  struct Result {
    int64_t received = -1;
    int status = 0;
    bool too_long = false;
    std::string not_whole;
  };

  // Starts fetching at once. `transport` is the thread's until this object
  // is gone.
  FetchPipeline(HttpTransport* transport, std::vector<Request> requests,
                size_t queue_bytes = kFetchQueueBytes);
  // Stops the fetching (a transfer in progress ends at its next piece) and
  // waits for the thread.
  ~FetchPipeline();
  FetchPipeline(const FetchPipeline&) = delete;
  FetchPipeline& operator=(const FetchPipeline&) = delete;

  // Hands the body of request `index` to `sink` as it arrives: `on_length`
  // gets the announced length (-2 when none) before the first piece, `sink`
  // each piece and may refuse one, which stops that transfer. Requests are
  // taken in increasing order; those passed over are dropped, and not
  // fetched further. Once a request has been taken, it cannot be taken again.
  Result Take(size_t index, const std::function<void(int64_t)>& on_length,
              const std::function<bool(std::string_view)>& sink);

  // The same as a reader, for a taker that pulls: Open(index), then Read
  // until it gives 0 (the end of the body) or the taker has had enough, then
  // Close, which stops what was not read and says how the transfer went.
  // `announced()` is the announced length (-2 none, -1 not yet known).
  void Open(size_t index);
  int64_t Read(char* buf, size_t cap);
  Result Close();
  int64_t announced() const { return cursor_length_; }
  // Known with the announced length, from the first answer: where in the
  // file the body begins (a request's `from` when the server sent the rest,
  // else 0), and what names the server's version of the file ("" none).
  int64_t starts_at() const { return cursor_start_; }
  const std::string& version() const { return cursor_version_; }

  // Bytes the queue held at most, for tests of its bound.
  size_t peak_queued() const;

 private:
  enum class Kind { kLength, kPiece, kEnd };
  struct Item {
    size_t index;
    Kind kind;
    std::string bytes;  // kPiece
    int64_t length = 0;  // kLength
    Result result;       // kEnd
    int64_t start = 0;      // kLength
    std::string version;    // kLength
  };
  void Run();
  // Queues an item; false when the request is no longer wanted.
  bool Push(Item item);
  bool Wanted(size_t index) const { return !stop_ && index >= first_wanted_; }

  HttpTransport* transport_;
  const std::vector<Request> requests_;
  const size_t queue_bytes_;
  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::deque<Item> queue_;
  size_t queued_ = 0;
  size_t peak_ = 0;
  size_t first_wanted_ = 0;  // requests below it are dropped
  // The reader's request, the piece it is in, and how its transfer ended.
  size_t cursor_ = 0;
  bool cursor_open_ = false;
  bool cursor_ended_ = true;
  std::string piece_;
  size_t piece_at_ = 0;
  int64_t cursor_length_ = -1;
  int64_t cursor_start_ = -1;
  std::string cursor_version_;
  Result cursor_result_;
  bool stop_ = false;
  bool finished_ = false;  // the thread has queued all it will
  std::thread thread_;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_FETCH_PIPELINE_H_
