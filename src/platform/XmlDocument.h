// XML documents read strictly: what is not well-formed XML 1.0 is refused as a whole, never
// read in part or mended.
#ifndef ORVO_PLATFORM_XMLDOCUMENT_H_
#define ORVO_PLATFORM_XMLDOCUMENT_H_

#include <cstdint>
#include <pugixml.hpp>
#include <span>
#include <string>
#include <string_view>

namespace orvo::xml {

// XML's white space: space, tab, carriage return, line feed.
inline constexpr std::string_view kSpaces = " \t\r\n";
bool isSpace(char c);
// Whether the text is all white space (or empty).
bool isBlank(std::string_view text);

// Character data with its references resolved: the five predefined entities and character
// references to XML characters. False for any other reference (those of a document type are
// refused, not expanded) and for a raw control character.
bool appendDecoded(std::string_view raw, std::string& out);

// Parses a document in UTF-8, UTF-16, UTF-32 (by its byte-order mark or first bytes), US-ASCII
// or ISO-8859-1 (as its declaration says) into `document`, whose text stays raw (references
// unresolved) and whose comments and processing instructions are kept. False for anything
// that is not well-formed: a character that XML does not allow (NUL, U+FFFE, ...), text or a
// second element outside the root, a declaration that is not the very first thing, duplicate
// attributes, "]]>" in character data, "--" in a comment, a bad reference, ...
bool loadWellFormed(std::span<const std::uint8_t> bytes, pugi::xml_document& document);

}  // namespace orvo::xml

#endif  // ORVO_PLATFORM_XMLDOCUMENT_H_
