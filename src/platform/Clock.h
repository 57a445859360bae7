// The wall clock and the random draw of the platform.
#ifndef ORVO_PLATFORM_CLOCK_H_
#define ORVO_PLATFORM_CLOCK_H_

#include <cstdint>

namespace orvo {

// Seconds since 1970-01-01 00:00 UTC, with the fraction of the current second.
double secondsSince1970();

// A uniformly distributed integer in [0, bound), without modulo bias; 0 when bound is 0.
std::uint32_t randomBelow(std::uint32_t bound);

}  // namespace orvo

#endif  // ORVO_PLATFORM_CLOCK_H_
