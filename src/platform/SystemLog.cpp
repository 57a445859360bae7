#include "platform/SystemLog.h"

#include <errno.h>
#include <sys/time.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <ctime>
#include <type_traits>

#include "platform/Clock.h"
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

// A stored date shown as a UTC calendar time, or as a number where the calendar ends.
void appendDate(std::string& out, double secondsSince2001) {
  if (const std::optional<UtcTime> utc = utcTimeOf(secondsSince2001)) {
    out.append(dateText(*utc, ' ')).append(" +0000");
  } else {
    appendNumber(out, secondsSince2001);
  }
}

void appendData(std::string& out, std::span<const std::uint8_t> bytes) {
  out += "{length = " + std::to_string(bytes.size()) + ", bytes = 0x";
  static constexpr char kHex[] = "0123456789abcdef";
  for (const std::uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  out += '}';
}

// How the log shows values: lists in parentheses and dictionaries in braces, one entry a line,
// indented four spaces a level below `base`, the layout every game's log has used.
struct Describer {
  std::string& out;
  int base;
  bool scalar(const plist::Object& value, int) {
    std::string scratch;
    switch (*value.kind()) {
      case plist::Kind::kString:
        out += *value.text(scratch);
        break;
      case plist::Kind::kReal:
        appendNumber(out, *value.number());
        break;
      case plist::Kind::kInteger: {
        const plist::Integer i = *value.integer();
        out += i.beyondInt64() ? std::to_string(i.bits()) : std::to_string(i.asSigned());
        break;
      }
      case plist::Kind::kBool:
        out += describeBool(*value.boolean());
        break;
      case plist::Kind::kDate:
        appendDate(out, value.date()->secondsSince2001);
        break;
      case plist::Kind::kData:
        appendData(out, *value.data());
        break;
      default:
        out += "<CFKeyedArchiverUID>{value = " + std::to_string(value.uid()->value) + "}";
    }
    return true;
  }
  bool open(const plist::Object& container, int) {
    out += container.is(plist::Kind::kArray) ? "(\n" : "{\n";
    return true;
  }
  bool entry(const plist::Object&, std::size_t, const plist::Object& key, int depth) {
    appendIndent(out, base + depth + 1);
    if (key) {
      std::string scratch;
      out.append(*key.text(scratch)).append(" = ");
    }
    return true;
  }
  bool after(const plist::Object& container, bool last, int) {
    if (container.is(plist::Kind::kDictionary)) {
      out += ";\n";
    } else {
      out += last ? "\n" : ",\n";
    }
    return true;
  }
  bool close(const plist::Object& container, int depth) {
    appendIndent(out, base + depth);
    out += container.is(plist::Kind::kArray) ? ')' : '}';
    return true;
  }
};

void describeAt(std::string& out, const plist::Object& value, int base) {
  Describer describer{out, base};
  plist::walk(value, describer);
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

void appendDescription(std::string& out, const plist::Object& value) { describeAt(out, value, 0); }

void appendDescription(std::string& out, const plist::ListEdit& list) {
  const auto describeElement = [&out](const auto& element) {
    if constexpr (std::is_same_v<std::decay_t<decltype(element)>, plist::Object>) {
      // Reals, what such lists hold, without a walk.
      if (element.is(plist::Kind::kReal)) {
        appendNumber(out, *element.number());
      } else {
        describeAt(out, element, 1);
      }
    } else if (const double* real = element.template as<double>()) {
      appendNumber(out, *real);
    } else if (const auto bytes = plist::writeBinaryPropertyList(element)) {
      // Any other new value is rendered as it will read once written.
      const std::optional<plist::View> view = plist::View::read(*bytes);
      if (view) describeAt(out, view->root(), 1);
    }
  };
  out += "(\n";
  std::size_t left = list.size();
  list.forEach([&](const auto& element) {
    appendIndent(out, 1);
    describeElement(element);
    out += --left > 0 ? ",\n" : "\n";
  });
  out += ')';
}

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
