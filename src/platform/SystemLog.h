// The system log: one line per message on standard error, behind the usual
// "date time program[pid:tid]" prefix. Writing never raises a signal in the host and leaves its
// signal state as it was; a log that cannot be written is not the caller's failure.
#ifndef ORVO_PLATFORM_SYSTEMLOG_H_
#define ORVO_PLATFORM_SYSTEMLOG_H_

#include <optional>
#include <string>
#include <string_view>

#include "platform/plist/PropertyListEdit.h"
#include "platform/plist/PropertyListView.h"

namespace orvo::log {

void write(std::string_view message);

// The lines of one call, collected while the suite's lock is held (writing could block on a host
// that does not drain its standard error) and written in order with one write once it is
// released.
class Lines {
 public:
  // Starts a line with the message; more of it may be appended to the text returned, until the
  // next line starts.
  std::string& add(std::string_view message);
  friend void write(Lines& lines);

 private:
  std::string prefix_;  // made for the first line
  std::string text_;
};
void write(Lines& lines);

// Appends a value as the log shows values (lists in parentheses, dictionaries in braces, one
// entry a line); a list being edited shows its stored elements kept and its new ones.
void appendDescription(std::string& out, const plist::Object& value);
void appendDescription(std::string& out, const plist::ListEdit& list);

// How the log shows a missing value, a number, a boolean and optional text.
inline constexpr std::string_view kNoObject = "(null)";
std::string describeNumber(double value);  // as %.16g: 2.5, 1700000000, 0.0001, 1e+16
std::string describeBool(bool value);      // 1 or 0, as a boolean number prints
std::string describe(const std::optional<std::string>& text);  // the text, or (null)

// A double with six decimals and a decimal point, whatever locale the host chose.
std::string fixed6(double value);

}  // namespace orvo::log

#endif  // ORVO_PLATFORM_SYSTEMLOG_H_
