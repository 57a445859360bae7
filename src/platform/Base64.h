// Base64 with the standard alphabet of RFC 4648 and "=" padding.
#ifndef ORVO_PLATFORM_BASE64_H_
#define ORVO_PLATFORM_BASE64_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {
using Bytes = std::vector<std::uint8_t>;
}  // namespace orvo

namespace orvo::base64 {

// Padded to a multiple of four characters, on one line.
std::string encode(std::span<const std::uint8_t> bytes);

// Only alphabet characters, then up to two "=" making a multiple of four; none for anything
// else (a blank, a line break, missing padding, data after the padding). "" gives no bytes.
std::optional<Bytes> decodeStrict(std::string_view text);

// As decodeStrict, but blanks and line breaks (space, tab, CR, LF: XML's white space) may
// stand anywhere.
std::optional<Bytes> decodeSkippingWhitespace(std::string_view text);

// As decodeStrict, but every character that is neither in the alphabet nor "=" is skipped
// first.
std::optional<Bytes> decodeLenient(std::string_view text);

}  // namespace orvo::base64

#endif  // ORVO_PLATFORM_BASE64_H_
