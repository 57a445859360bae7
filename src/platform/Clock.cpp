#include "platform/Clock.h"

#include <stdlib.h>
#include <time.h>

#include <charconv>
#include <chrono>

namespace orvo {

timespec wallClockNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

double secondsSince1970() {
  const timespec now = wallClockNow();
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::optional<std::string> utcStamp(const timespec& time) {
  using namespace std::chrono;
  const sys_seconds seconds{std::chrono::seconds(time.tv_sec)};
  const sys_days day = floor<days>(seconds);
  const year_month_day date{day};
  const hh_mm_ss clock{seconds - day};
  const int year = static_cast<int>(date.year());
  if (year < 1 || year > 9999) return std::nullopt;
  std::string stamp;
  const auto append = [&stamp](long long value, std::size_t width) {
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    const auto length = static_cast<std::size_t>(end - digits);
    if (length < width) stamp.append(width - length, '0');
    stamp.append(digits, length);
  };
  append(year, 4);
  append(static_cast<unsigned>(date.month()), 2);
  append(static_cast<unsigned>(date.day()), 2);
  stamp += 'T';
  append(clock.hours().count(), 2);
  append(clock.minutes().count(), 2);
  append(clock.seconds().count(), 2);
  stamp += '.';
  append(time.tv_nsec / 1000, 6);
  return stamp + 'Z';
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
