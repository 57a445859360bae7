#include "platform/XmlDocument.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <vector>

#include "platform/Utf8.h"

namespace orvo::xml {
namespace {

bool isXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Whether valid UTF-8 text holds only characters that XML allows.
bool onlyXmlChars(std::string_view text) {
  if (!isValidUtf8(text)) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x20) {
      if (!isSpace(static_cast<char>(b))) return false;
    } else if (b == 0xEF && i + 2 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) == 0xBF &&
               static_cast<unsigned char>(text[i + 2]) >= 0xBE) {
      return false;  // U+FFFE, U+FFFF
    }
  }
  return true;
}

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// The value of the encoding pseudo-attribute of a leading declaration, lower-cased; empty when
// there is none. Read before the text is decoded, from its ASCII.
std::string declaredEncoding(std::string_view text) {
  if (text.substr(0, 5) != "<?xml" || text.size() < 6 || !isSpace(text[5])) return {};
  const std::string_view declaration = text.substr(0, text.find("?>"));
  const std::size_t name = declaration.find("encoding");
  if (name == std::string_view::npos) return {};
  std::size_t at = name + 8;
  while (at < declaration.size() && (isSpace(declaration[at]) || declaration[at] == '=')) ++at;
  if (at >= declaration.size() || (declaration[at] != '"' && declaration[at] != '\'')) return {};
  const std::size_t end = declaration.find(declaration[at], at + 1);
  if (end == std::string_view::npos) return {};
  return lowered(declaration.substr(at + 1, end - at - 1));
}

// The document as UTF-8 text; none when its bytes are not what its encoding says.
std::optional<std::string> decode(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> wide(bytes.begin(), bytes.end());
  const std::optional<std::size_t> unit = unicodeTextToUtf8(wide);
  if (!unit) return std::nullopt;
  std::string text(wide.begin(), wide.end());
  const bool marked = *unit == 1 && text.starts_with("\xEF\xBB\xBF");
  if (marked) text.erase(0, 3);
  const std::string encoding = declaredEncoding(text);
  bool fits = false;
  if (*unit == 2) {
    fits = encoding.empty() || encoding.starts_with("utf-16");
  } else if (*unit == 4) {
    fits = encoding.empty() || encoding.starts_with("utf-32") || encoding == "ucs-4";
  } else if (encoding.empty() || encoding == "utf-8") {
    fits = true;
  } else if (marked) {
    fits = false;
  } else if (encoding == "us-ascii") {
    fits = std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  } else if (encoding == "iso-8859-1" || encoding == "latin1") {
    std::string latin;
    for (const char c : text) appendUtf8(latin, static_cast<unsigned char>(c));
    text = std::move(latin);
    fits = true;
  }
  return fits ? std::optional<std::string>(std::move(text)) : std::nullopt;
}

// version first, then encoding and standalone, each at most once and in that order.
bool isGoodDeclaration(const pugi::xml_node& declaration) {
  static constexpr std::string_view kOrder[] = {"version", "encoding", "standalone"};
  std::size_t next = 0;
  for (const pugi::xml_attribute& attribute : declaration.attributes()) {
    const std::string_view name = attribute.name(), value = attribute.value();
    while (next < std::size(kOrder) && kOrder[next] != name) ++next;
    if (next == std::size(kOrder)) return false;
    if (name == "version" && (value.size() < 3 || value.substr(0, 2) != "1." ||
                              !std::all_of(value.begin() + 2, value.end(),
                                           [](char c) { return c >= '0' && c <= '9'; }))) {
      return false;
    }
    if (name == "standalone" && value != "yes" && value != "no") return false;
    ++next;
  }
  return declaration.first_attribute().name() == std::string_view("version");
}

// Before and after the root: a declaration first of all, then only blanks, comments,
// processing instructions, and one document type before the one element.
bool isGoodProlog(const pugi::xml_document& document) {
  int elements = 0;
  bool typeSeen = false;
  for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
    switch (node.type()) {
      case pugi::node_declaration:
        if (node != document.first_child() || !isGoodDeclaration(node)) return false;
        break;
      case pugi::node_doctype:
        if (typeSeen || elements > 0) return false;
        typeSeen = true;
        break;
      case pugi::node_element:
        ++elements;
        break;
      case pugi::node_pcdata:
        if (!isBlank(node.value())) return false;
        break;
      case pugi::node_comment:
      case pugi::node_pi:
        break;
      default:
        return false;
    }
  }
  return elements == 1;
}

bool hasDuplicateAttributes(const pugi::xml_node& element) {
  if (!element.first_attribute().next_attribute()) return false;
  std::vector<std::string_view> names;
  for (const pugi::xml_attribute& attribute : element.attributes())
    names.emplace_back(attribute.name());
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}

// What the parser lets through inside the tree: each node on its own.
bool isGoodNode(const pugi::xml_node& node) {
  std::string scratch;
  const std::string_view value = node.value();
  switch (node.type()) {
    case pugi::node_element:
      if (hasDuplicateAttributes(node)) return false;
      for (const pugi::xml_attribute& attribute : node.attributes()) {
        const std::string_view text = attribute.value();
        if (text.find('<') != std::string_view::npos || !appendDecoded(text, scratch)) return false;
      }
      return true;
    case pugi::node_pcdata:
      return value.find("]]>") == std::string_view::npos && appendDecoded(value, scratch);
    case pugi::node_comment:
      return value.find("--") == std::string_view::npos && !value.ends_with('-');
    case pugi::node_pi:
      return lowered(node.name()) != "xml";
    default:
      return true;
  }
}

// Every node of the tree, without recursion: a document may nest deeper than a stack allows.
bool everyNodeIsGood(const pugi::xml_document& document) {
  pugi::xml_node node = document.first_child();
  while (node) {
    if (!isGoodNode(node)) return false;
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node && !node.next_sibling()) {
      node = node.parent();
      if (node == document) return true;
    }
    if (node) node = node.next_sibling();
  }
  return true;
}

template <typename T>
bool parseWhole(std::string_view text, T& out, int base) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool isSpace(char c) { return c != '\0' && kSpaces.find(c) != std::string_view::npos; }

bool isBlank(std::string_view text) { return std::all_of(text.begin(), text.end(), isSpace); }

bool appendDecoded(std::string_view raw, std::string& out) {
  while (!raw.empty()) {
    const std::size_t amp = raw.find('&');
    for (const char c : raw.substr(0, amp)) {
      if (static_cast<unsigned char>(c) < 0x20 && !isSpace(c)) return false;
    }
    out.append(raw.substr(0, amp));
    if (amp == std::string_view::npos) return true;
    const std::size_t semicolon = raw.find(';', amp);
    if (semicolon == std::string_view::npos) return false;
    const std::string_view name = raw.substr(amp + 1, semicolon - amp - 1);
    raw.remove_prefix(semicolon + 1);
    if (name == "lt") {
      out.push_back('<');
    } else if (name == "gt") {
      out.push_back('>');
    } else if (name == "amp") {
      out.push_back('&');
    } else if (name == "quot") {
      out.push_back('"');
    } else if (name == "apos") {
      out.push_back('\'');
    } else {
      std::uint32_t c = 0;
      const bool hex = name.size() > 1 && name[1] == 'x';
      if (name.empty() || name[0] != '#' ||
          !parseWhole(name.substr(hex ? 2 : 1), c, hex ? 16 : 10) || !isXmlChar(c)) {
        return false;
      }
      appendUtf8(out, c);
    }
  }
  return true;
}

bool loadWellFormed(std::span<const std::uint8_t> bytes, pugi::xml_document& document) {
  const std::optional<std::string> text = decode(bytes);
  // The parser would end the document at a NUL; the whole text is checked before it reads it.
  if (!text || !onlyXmlChars(*text)) return false;
  // Whitespace-only text is kept so that <string> </string> keeps its space; and so is what
  // lies outside the root (a fragment), to be checked.
  const unsigned options = pugi::parse_cdata | pugi::parse_eol | pugi::parse_ws_pcdata |
                           pugi::parse_declaration | pugi::parse_doctype | pugi::parse_comments |
                           pugi::parse_pi | pugi::parse_fragment;
  return document.load_buffer(text->data(), text->size(), options, pugi::encoding_utf8) &&
         isGoodProlog(document) && everyNodeIsGood(document);
}

}  // namespace orvo::xml
