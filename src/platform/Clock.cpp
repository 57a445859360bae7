#include "platform/Clock.h"

#include <stdlib.h>
#include <time.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <utility>

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

namespace {

// A number in decimal, its digits led by zeros to at least `width` (after the sign).
void appendPadded(std::string& out, long long value, std::size_t width) {
  if (value < 0) out += '-';
  const auto bits = static_cast<unsigned long long>(value);
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, value < 0 ? 0 - bits : bits).ptr;
  const auto length = static_cast<std::size_t>(end - digits);
  if (length < width) out.append(width - length, '0');
  out.append(digits, length);
}

}  // namespace

std::optional<UtcTime> utcTimeOf(double secondsSince2001) {
  using namespace std::chrono;
  const double unixSeconds = std::floor(secondsSince2001) + static_cast<double>(kUnixSecondsAt2001);
  // Well inside the years that year_month_day holds (-32767 to 32767) either way.
  if (!(std::fabs(unixSeconds) < 9e11)) return std::nullopt;
  const sys_seconds at{seconds(static_cast<std::int64_t>(unixSeconds))};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss clock{at - day};
  return UtcTime{static_cast<int>(date.year()),
                 static_cast<unsigned>(date.month()),
                 static_cast<unsigned>(date.day()),
                 static_cast<unsigned>(clock.hours().count()),
                 static_cast<unsigned>(clock.minutes().count()),
                 static_cast<unsigned>(clock.seconds().count())};
}

std::optional<double> secondsSince2001Of(const UtcTime& time) {
  using namespace std::chrono;
  // Checked before they are stored: year_month_day keeps only what its fields can hold.
  if (time.year < -32767 || time.year > 32767 || time.month > 12 || time.day > 31 ||
      time.hour > 23 || time.minute > 59 || time.second > 59) {
    return std::nullopt;
  }
  const year_month_day date{year(time.year), month(time.month), day(time.day)};
  if (!date.ok()) return std::nullopt;
  const sys_seconds at =
      sys_days(date) + hours(time.hour) + minutes(time.minute) + seconds(time.second);
  return static_cast<double>(at.time_since_epoch().count() - kUnixSecondsAt2001);
}

std::string dateText(const UtcTime& time, char separator) {
  std::string text;
  appendPadded(text, time.year, 4);
  text += '-';
  appendPadded(text, time.month, 2);
  text += '-';
  appendPadded(text, time.day, 2);
  text += separator;
  appendPadded(text, time.hour, 2);
  text += ':';
  appendPadded(text, time.minute, 2);
  text += ':';
  appendPadded(text, time.second, 2);
  return text;
}

std::optional<std::string> utcStamp(const timespec& time) {
  const std::optional<UtcTime> utc =
      utcTimeOf(static_cast<double>(std::int64_t{time.tv_sec} - kUnixSecondsAt2001));
  if (!utc || utc->year < 1 || utc->year > 9999) return std::nullopt;
  std::string stamp;
  for (const auto& [value, width] :
       {std::pair<long long, std::size_t>{utc->year, 4}, {utc->month, 2}, {utc->day, 2}}) {
    appendPadded(stamp, value, width);
  }
  stamp += 'T';
  for (const unsigned field : {utc->hour, utc->minute, utc->second}) appendPadded(stamp, field, 2);
  stamp += '.';
  appendPadded(stamp, time.tv_nsec / 1000, 6);
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
