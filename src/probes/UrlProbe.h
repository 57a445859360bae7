// Whether an installed application can open a URL.
#ifndef ORVO_PROBES_URLPROBE_H_
#define ORVO_PROBES_URLPROBE_H_

#include <optional>
#include <string_view>

namespace orvo::probes {

// True when the text is a URL with a scheme and an installed application handles the scheme;
// false for no text (null or not UTF-8). The URL is logged first, "(null)" when there is none.
bool canOpenURL(std::optional<std::string_view> text);

}  // namespace orvo::probes

#endif  // ORVO_PROBES_URLPROBE_H_
