// The system log: one line per message on standard error, behind the usual
// "date time program[pid:tid]" prefix, written with a single write so that lines of
// concurrent games never interleave.
#ifndef ORVO_PLATFORM_SYSTEMLOG_H_
#define ORVO_PLATFORM_SYSTEMLOG_H_

#include <optional>
#include <string>
#include <string_view>

#include "platform/PropertyList.h"

namespace orvo::log {

void write(std::string_view message);

// Renderings of an object placeholder.
inline constexpr std::string_view kNoObject = "(null)";
std::string describeNumber(double value);  // shortest form that reads back: 2.5, 10
std::string describeBool(bool value);      // 1 or 0, as a boolean number prints
std::string describe(const plist::Value& value);
std::string describe(const std::optional<std::string>& text);  // the text, or (null)

// A double with six decimals, as a fixed-point placeholder prints it.
std::string fixed6(double value);

}  // namespace orvo::log

#endif  // ORVO_PLATFORM_SYSTEMLOG_H_
