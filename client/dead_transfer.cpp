#include "client/dead_transfer.h"

#include <chrono>

namespace quasto::client {

int64_t DeadTransferWatch::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void DeadTransferWatch::Start(int64_t now_ms) {
  start_ms_ = now_ms;
  dead_ = false;
  samples_.assign(1, {now_ms, 0});
}

bool DeadTransferWatch::Alive(int64_t now_ms, int64_t total) {
  if (dead_) return false;
  // Samples closer together than this add nothing but memory; skipping one
  // only lets the window reach a little further back.
  constexpr int64_t kSampleSpacingMs = 100;
  if (samples_.size() < 2 || now_ms - samples_.back().first >= kSampleSpacingMs) {
    samples_.emplace_back(now_ms, total);
  }
  // The newest sample at or before the window's start stands for it.
  while (samples_.size() > 1 && samples_[1].first <= now_ms - window_ms_) samples_.pop_front();
  if (now_ms - start_ms_ < window_ms_) return true;  // not a whole window yet
  dead_ = total - samples_.front().second < needed_;
  return !dead_;
}

}  // namespace quasto::client
