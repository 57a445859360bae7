#include "platform/Clock.h"

#include <stdlib.h>
#include <time.h>

namespace orvo {

double secondsSince1970() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::uint32_t RandomDraws::next() {
  if (used_ == pool_.size()) {
    arc4random_buf(pool_.data(), pool_.size() * sizeof pool_[0]);
    used_ = 0;
  }
  return pool_[used_++];
}

// Lemire's multiply-and-shift: the high half of x * bound is uniform once the rare low halves
// that would favour some results are drawn again.
std::uint32_t RandomDraws::below(std::uint32_t bound) {
  if (bound == 0) return 0;
  std::uint64_t product = std::uint64_t{next()} * bound;
  if (static_cast<std::uint32_t>(product) < bound) {
    const std::uint32_t threshold = (0u - bound) % bound;
    while (static_cast<std::uint32_t>(product) < threshold) product = std::uint64_t{next()} * bound;
  }
  return static_cast<std::uint32_t>(product >> 32);
}

}  // namespace orvo
