#ifndef ORVO_PLATFORM_UTF8_H_
#define ORVO_PLATFORM_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// The text without the characters of `set` at its start, at its end, or at both.
std::string_view withoutLeading(std::string_view text, std::string_view set);
std::string_view withoutTrailing(std::string_view text, std::string_view set);
inline std::string_view trimmed(std::string_view text, std::string_view set) {
  return withoutTrailing(withoutLeading(text, set), set);
}

// Appends a code point (below U+110000, not a surrogate) in UTF-8.
void appendUtf8(std::string& out, std::uint32_t c);

// Appends `units` UTF-16 code units read from `p` (two bytes each, big-endian when
// `bigEndian`) as UTF-8, surrogate pairs joined; false at a lone surrogate, with `out` partly
// appended.
bool appendUtf16AsUtf8(const std::uint8_t* p, std::size_t units, bool bigEndian, std::string& out);

// The UTF-8 size of `units` big-endian UTF-16 code units; none at a lone surrogate.
std::optional<std::size_t> utf8SizeOfUtf16(const std::uint8_t* p, std::size_t units);

// The UTF-16 code units of valid UTF-8 text, and the text written at `p` as big-endian UTF-16
// (past the BMP in surrogate pairs), returning the end of what was written.
std::uint64_t utf16UnitsOf(std::string_view utf8);
std::uint8_t* putUtf16BigEndian(std::uint8_t* p, std::string_view utf8);

// JSON and XML text may be UTF-8, UTF-16 or UTF-32 in either byte order, told by a byte-order
// mark or by the zero bytes among its first four (either starts with two ASCII characters).
// Rewrites UTF-16 and UTF-32 text in place as UTF-8 and leaves other text as it is. The size of
// the unit found (2 or 4; 1 for text left as it is); none for text that is not well-formed in
// its encoding.
std::optional<std::size_t> unicodeTextToUtf8(std::vector<std::uint8_t>& bytes);

}  // namespace orvo

#endif  // ORVO_PLATFORM_UTF8_H_
