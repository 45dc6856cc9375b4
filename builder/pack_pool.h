// Packs a list of files on worker threads. The caller takes the outcomes in
// list order, so whatever it records from them comes out exactly as if the
// files had been packed one after the other; only the waiting is shorter.
//
// The workers touch nothing but their own source and packed file: no window,
// no document, no cache. Each holds one LZMA encoder and the packer's two
// buffers at a time, so memory grows with the number of threads, never with
// the number or size of the files.
#ifndef QUASTO_BUILDER_PACK_POOL_H_
#define QUASTO_BUILDER_PACK_POOL_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "shared/packer.h"

namespace quasto {

struct PackOutcome {
  PackStatus status = PackStatus::kCoderFailed;
  PackResult result;
  // Other work: done, but nothing written that is worth keeping.
  bool skipped = false;
};

struct PackJob {
  std::string source;
  std::string dest;
  // Other work for the same threads (patches); packing `source` when empty.
  std::function<PackOutcome()> work;
};

// Worker threads for a requested count: `requested` when positive, else one
// per core; never more than there are jobs, and at least one. One requested
// is none: the caller packs while it waits, on its own thread, which is all
// one worker would do (a trace of the run then shows one thread's calls).
int PackThreadCount(int requested, size_t jobs);

class PackPool {
 public:
  PackPool(std::vector<PackJob> jobs, int threads);
  // Jobs not yet begun are dropped; the ones being packed are finished.
  ~PackPool();
  PackPool(const PackPool&) = delete;
  PackPool& operator=(const PackPool&) = delete;

  // Waits at most `timeout` for job `index`; true once its outcome is there.
  bool Wait(size_t index, std::chrono::milliseconds timeout);
  // The outcome of a job that Wait has reported done.
  const PackOutcome& Outcome(size_t index) const { return outcomes_[index]; }
  const PackJob& Job(size_t index) const { return jobs_[index]; }

  size_t threads() const { return threads_.size(); }

 private:
  void Work();
  void Run(size_t index);

  const std::vector<PackJob> jobs_;
  std::vector<PackOutcome> outcomes_;
  std::vector<char> done_;  // guarded by mutex_
  size_t next_ = 0;         // first job no worker has taken; guarded by mutex_
  bool stop_ = false;       // guarded by mutex_
  std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<std::thread> threads_;
};

}  // namespace quasto

#endif  // QUASTO_BUILDER_PACK_POOL_H_
