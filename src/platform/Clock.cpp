#include "platform/Clock.h"

#include <stdlib.h>
#include <time.h>

namespace orvo {

double secondsSince1970() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::uint32_t randomBelow(std::uint32_t bound) { return bound == 0 ? 0 : arc4random_uniform(bound); }

}  // namespace orvo
