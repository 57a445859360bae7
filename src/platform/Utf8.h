#ifndef ORVO_PLATFORM_UTF8_H_
#define ORVO_PLATFORM_UTF8_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// JSON text may be UTF-8, UTF-16 or UTF-32 in either byte order, told by a byte-order mark or by
// the zero bytes among its first four (it starts with two ASCII characters). Rewrites UTF-16 and
// UTF-32 text in place as UTF-8 and leaves UTF-8 as it is; false, for text that is not
// well-formed in its encoding.
bool jsonTextToUtf8(std::vector<std::uint8_t>& bytes);

// Appends `text` as a JSON string: quoted, with '"', '\\' and the control characters escaped
// (the short escape where JSON has one, \u00XX for the others).
void appendJsonString(std::string& out, std::string_view text);

}  // namespace orvo

#endif  // ORVO_PLATFORM_UTF8_H_
