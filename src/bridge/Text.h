// Text that crosses the module's boundary.
#ifndef ORVO_BRIDGE_TEXT_H_
#define ORVO_BRIDGE_TEXT_H_

#include <optional>
#include <string_view>

namespace orvo {

// A text argument as a string: none for a null pointer or bytes that are not valid UTF-8.
std::optional<std::string_view> textArgument(const char* text) noexcept;

// A text result: a fresh heap copy the caller releases with free. Empty text gives "", never
// null; null comes back only when no memory could be had.
char* copyOut(std::string_view text) noexcept;

}  // namespace orvo

#endif  // ORVO_BRIDGE_TEXT_H_
