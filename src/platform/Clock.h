// The wall clock and the random draw of the platform.
#ifndef ORVO_PLATFORM_CLOCK_H_
#define ORVO_PLATFORM_CLOCK_H_

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvo {

// Seconds since 1970-01-01 00:00 UTC, with the fraction of the current second.
double secondsSince1970();
timespec wallClockNow();

// Dates in the store count seconds from 2001-01-01 00:00:00 UTC, this many after 1970's.
inline constexpr std::int64_t kUnixSecondsAt2001 = 978307200;

// A UTC calendar time to the second.
struct UtcTime {
  int year;
  unsigned month, day, hour, minute, second;
};
// The calendar time of a stored date, rounded down to the second; none for a date that is not
// finite or lies more than 28,000 years from 1970.
std::optional<UtcTime> utcTimeOf(double secondsSince2001);
// The stored date of a calendar time; none for a field out of range or a day its month lacks.
std::optional<double> secondsSince2001Of(const UtcTime& time);
// "YYYY-MM-DD", the separator, "HH:MM:SS".
std::string dateText(const UtcTime& time, char separator);

// A time as a compact UTC stamp, "YYYYMMDDTHHMMSS.ffffffZ"; none for a year past 9999 or
// before 1.
std::optional<std::string> utcStamp(const timespec& time);

// Uniformly distributed integers below given bounds, without modulo bias, drawn from the system's
// random source in one request for a batch rather than one request a draw.
class RandomDraws {
 public:
  // Room for `expected` draws at first; more are fetched when needed.
  explicit RandomDraws(std::size_t expected) : pool_(expected + 1), used_(pool_.size()) {}
  // An integer in [0, bound); 0 when bound is 0.
  std::uint32_t below(std::uint32_t bound);

 private:
  std::uint32_t next();
  std::vector<std::uint32_t> pool_;
  std::size_t used_;  // all used: the first draw fills the pool
};

}  // namespace orvo

#endif  // ORVO_PLATFORM_CLOCK_H_
