#include "platform/SystemLog.h"

#include <errno.h>
#include <sys/time.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <ctime>
#include <variant>

#include "platform/Process.h"
#include "platform/Signals.h"

namespace orvo::log {
namespace {

void appendInteger(std::string& out, long value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// "date time.mmm program[pid:tid] ", in local time.
std::string prefix() {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[32];
  std::string head(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S.", &local));
  const long millis = static_cast<long>(now.tv_usec / 1000);
  if (millis < 100) head += millis < 10 ? "00" : "0";
  appendInteger(head, millis);
  head.append(" ").append(program_invocation_short_name).append("[");
  appendInteger(head, process::id());
  head += ':';
  appendInteger(head, process::threadId());
  return head.append("] ");
}

void writeToStandardError(std::string_view text) {
  QuietSignals quiet;
  while (!text.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) quiet.noteFailure(errno);
    if (n <= 0) break;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// As %.16g prints it, the platform's own number description; to_chars with that format and
// precision gives the very same text, without printf's parsing and locale.
void appendNumber(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";  // %g would show the sign of a negative NaN
    return;
  }
  char buf[32];
  const auto [end, error] =
      std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 16);
  out.append(buf, error == std::errc() ? end : buf);
}

void appendIndent(std::string& out, int level) {
  out.append(static_cast<std::size_t>(level) * 4, ' ');
}

void describeInto(std::string& out, const plist::Value& value, int level);

struct Describer {
  std::string& out;
  int level;
  void operator()(const std::string& s) const { out += s; }
  void operator()(double d) const { appendNumber(out, d); }
  void operator()(const plist::Integer& i) const {
    out += i.beyondInt64() ? std::to_string(i.bits()) : std::to_string(i.asSigned());
  }
  void operator()(bool b) const { out += describeBool(b); }
  void operator()(const plist::Date& d) const {
    // Seconds since 2001 shown as a UTC calendar time.
    const double unixSeconds = std::floor(d.secondsSince2001) + 978307200.0;
    if (!std::isfinite(unixSeconds) || std::fabs(unixSeconds) > 1e15) {
      appendNumber(out, d.secondsSince2001);
      return;
    }
    const time_t t = static_cast<time_t>(unixSeconds);
    tm utc{};
    gmtime_r(&t, &utc);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &utc);
    out += buf;
  }
  void operator()(const plist::Data& d) const {
    out += "{length = " + std::to_string(d.bytes.size()) + ", bytes = 0x";
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::uint8_t b : d.bytes) {
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
    out += '}';
  }
  void operator()(const plist::Uid& u) const {
    out += "<CFKeyedArchiverUID>{value = " + std::to_string(u.value) + "}";
  }
  void operator()(const plist::Array& a) const {
    out += "(\n";
    for (std::size_t i = 0; i < a.size(); ++i) {
      appendIndent(out, level + 1);
      describeInto(out, a[i], level + 1);
      out += i + 1 < a.size() ? ",\n" : "\n";
    }
    appendIndent(out, level);
    out += ')';
  }
  void operator()(const plist::Dictionary& d) const {
    out += "{\n";
    for (const auto& [key, v] : d) {
      appendIndent(out, level + 1);
      out += key;
      out += " = ";
      describeInto(out, v, level + 1);
      out += ";\n";
    }
    appendIndent(out, level);
    out += '}';
  }
};

void describeInto(std::string& out, const plist::Value& value, int level) {
  std::visit(Describer{out, level}, value.storage());
}

}  // namespace

std::string& Lines::add(std::string_view message) {
  if (prefix_.empty()) {
    prefix_ = prefix();
  } else {
    text_ += '\n';
  }
  return text_.append(prefix_).append(message);
}

void write(Lines& lines) {
  if (lines.text_.empty()) return;
  lines.text_ += '\n';
  writeToStandardError(lines.text_);
}

void write(std::string_view message) {
  Lines lines;
  lines.add(message);
  write(lines);
}

std::string describeNumber(double value) {
  std::string out;
  appendNumber(out, value);
  return out;
}

std::string describeBool(bool value) { return value ? "1" : "0"; }

std::string describe(const plist::Value& value) {
  std::string out;
  describeInto(out, value, 0);
  return out;
}

void appendDescription(std::string& out, const plist::Array& list) { Describer{out, 0}(list); }

std::string describe(const std::optional<std::string>& text) {
  return text ? *text : std::string(kNoObject);
}

std::string fixed6(double value) {
  char buf[400];  // wide enough for the largest double in fixed notation
  const auto [end, error] =
      std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 6);
  return std::string(buf, error == std::errc() ? end : buf);
}

}  // namespace orvo::log
