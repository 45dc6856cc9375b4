#include "builder/pack_pool.h"

#include <algorithm>
#include <new>
#include <system_error>

namespace quasto {

int PackThreadCount(int requested, size_t jobs) {
  if (requested == 1) return 0;
  size_t n = requested > 0 ? static_cast<size_t>(requested) : std::thread::hardware_concurrency();
  n = std::min(n, jobs);
  return static_cast<int>(std::max<size_t>(n, 1));
}

PackPool::PackPool(std::vector<PackJob> jobs, int threads)
    : jobs_(std::move(jobs)), outcomes_(jobs_.size()), done_(jobs_.size(), 0) {
  if (jobs_.empty()) return;
  for (int i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back(&PackPool::Work, this);
    } catch (const std::system_error&) {
      // Fewer threads only means slower; with none, Wait packs itself.
      break;
    }
  }
}

PackPool::~PackPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  for (std::thread& t : threads_) t.join();
}

void PackPool::Run(size_t index) {
  PackOutcome o;
  try {
    if (jobs_[index].work) {
      o = jobs_[index].work();
    } else {
      o.status = PackFileTo(jobs_[index].source, jobs_[index].dest, &o.result);
    }
  } catch (const std::bad_alloc&) {
    // One file that cannot be packed fails alone.
    o.status = PackStatus::kCoderFailed;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  outcomes_[index] = std::move(o);
  done_[index] = 1;
  finished_.notify_all();
}

void PackPool::Work() {
  for (;;) {
    size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_ || next_ >= jobs_.size()) return;
      index = next_++;
    }
    Run(index);
  }
}

bool PackPool::Wait(size_t index, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (threads_.empty() && !done_[index]) {
    // No worker could be started: pack here, in list order.
    lock.unlock();
    Run(index);
    return true;
  }
  return finished_.wait_for(lock, timeout, [&] { return done_[index] != 0; });
}

}  // namespace quasto
