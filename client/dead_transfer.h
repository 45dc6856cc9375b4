// The rule that ends a transfer that is practically dead: both transports
// apply it, so a trickling or silent server ends the same way everywhere.
#ifndef QUASTO_CLIENT_DEAD_TRANSFER_H_
#define QUASTO_CLIENT_DEAD_TRANSFER_H_

#include <cstdint>
#include <deque>
#include <utility>

#include "shared/limits.h"

namespace quasto::client {

class DeadTransferWatch {
 public:
  // Dead: less than `bytes_per_second` on average over the last `seconds`.
  DeadTransferWatch(int64_t bytes_per_second = kDeadTransferBytesPerSecond,
                    int seconds = kDeadTransferSeconds)
      : window_ms_(int64_t{seconds} * 1000), needed_(bytes_per_second * seconds) {}

  // Milliseconds of a steady clock, the time both transports pass in.
  static int64_t NowMs();

  // The transfer starts (the request is sent) at `now_ms`.
  void Start(int64_t now_ms);
  // `total` bytes have arrived by `now_ms` (a steady clock, milliseconds).
  // False once the transfer is dead; it stays dead.
  bool Alive(int64_t now_ms, int64_t total);

 private:
  int64_t window_ms_;
  int64_t needed_;
  int64_t start_ms_ = 0;
  bool dead_ = false;
  // (time, total) seen within the window, oldest first.
  std::deque<std::pair<int64_t, int64_t>> samples_;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_DEAD_TRANSFER_H_
