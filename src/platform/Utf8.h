#ifndef ORVO_PLATFORM_UTF8_H_
#define ORVO_PLATFORM_UTF8_H_

#include <string_view>

namespace orvo {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

}  // namespace orvo

#endif  // ORVO_PLATFORM_UTF8_H_
