// XML property lists, read only. pugixml parses without recursion; the conversion below keeps
// its own stack of open containers, so a deep document costs heap, never call stack.
#include <algorithm>
#include <charconv>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Base64.h"
#include "platform/Clock.h"
#include "platform/Utf8.h"
#include "platform/XmlDocument.h"
#include "platform/plist/PropertyList.h"

namespace orvo::plist {
namespace {

template <typename T>
bool parseWhole(std::string_view text, T& out, int base) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return error == std::errc() && end == text.data() + text.size();
}

std::string_view trim(std::string_view text) { return trimmed(text, xml::kSpaces); }

bool isText(const pugi::xml_node& node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// The character data of a scalar element; CDATA sections join the text around them, comments
// and processing instructions are not part of it.
bool textOf(const pugi::xml_node& element, std::string& out) {
  out.clear();
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    switch (child.type()) {
      case pugi::node_cdata:
        out += child.value();
        break;
      case pugi::node_pcdata:
        if (!xml::appendDecoded(child.value(), out)) return false;
        break;
      case pugi::node_comment:
      case pugi::node_pi:
        break;
      default:
        return false;
    }
  }
  return true;
}

// Decimal with an optional sign, or hexadecimal after "0x"; -2^63 to 2^64-1.
std::optional<Integer> parseInteger(std::string_view text) {
  text = trim(text);
  std::uint64_t magnitude = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (!parseWhole(text.substr(2), magnitude, 16)) return std::nullopt;
    return Integer::fromUnsigned(magnitude);
  }
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  // Unsigned parsing takes no sign of its own, so "--1" and "+-1" fail here.
  if (!parseWhole(text, magnitude, 10)) return std::nullopt;
  if (!negative) return Integer::fromUnsigned(magnitude);
  if (magnitude > (std::uint64_t{1} << 63)) return std::nullopt;
  return Integer::fromSigned(static_cast<std::int64_t>(0 - magnitude));
}

// Decimal or scientific notation and the "nan", "inf" and "-inf" that writers produce for the
// values without digits. Locale-independent, unlike strtod.
std::optional<double> parseReal(std::string_view text) {
  text = trim(text);
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text[0] == '-') return std::nullopt;
  }
  double value = 0;
  if (text.empty()) return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// YYYY-MM-DDTHH:MM:SSZ, in UTC.
std::optional<Date> parseDate(std::string_view text) {
  text = trim(text);
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  auto number = [text](std::size_t at, std::size_t width) {
    unsigned value = 0;
    return parseWhole(text.substr(at, width), value, 10) ? static_cast<int>(value) : -1;
  };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (year < 1 || std::min({month, day, hour, minute, second}) < 0) return std::nullopt;
  const std::optional<double> seconds = secondsSince2001Of(UtcTime{
      year, static_cast<unsigned>(month), static_cast<unsigned>(day), static_cast<unsigned>(hour),
      static_cast<unsigned>(minute), static_cast<unsigned>(second)});
  if (!seconds) return std::nullopt;
  return Date{*seconds};
}

std::optional<Value> readScalar(const pugi::xml_node& element) {
  const std::string_view name = element.name();
  std::string text;
  if (!textOf(element, text)) return std::nullopt;
  if (name == "string") {
    if (!isValidUtf8(text)) return std::nullopt;
    return Value(std::move(text));
  }
  if (name == "integer") {
    if (auto integer = parseInteger(text)) return Value(*integer);
  } else if (name == "real") {
    if (auto real = parseReal(text)) return Value(*real);
  } else if (name == "true" || name == "false") {
    if (xml::isBlank(text)) return Value(name == "true");
  } else if (name == "date") {
    if (auto date = parseDate(text)) return Value(*date);
  } else if (name == "data") {
    if (auto bytes = base64::decodeSkippingWhitespace(text)) return Value(Data{std::move(*bytes)});
  }
  return std::nullopt;
}

bool isContainer(std::string_view name) { return name == "array" || name == "dict"; }

// The next element among `node` and its following siblings; fails on text that is not blank.
bool nextElement(pugi::xml_node node, pugi::xml_node& element) {
  for (; node; node = node.next_sibling()) {
    if (node.type() == pugi::node_element) break;
    if (isText(node) && !xml::isBlank(node.value())) return false;
  }
  element = node;
  return true;
}

struct Frame {
  pugi::xml_node next;  // where to look for the next child element
  bool isDict = false;
  bool haveKey = false;  // dictionaries: a key read, its value not yet
  Array array;
  Dictionary dict;
  std::string key;
};

}  // namespace

std::optional<Value> readXmlPropertyList(std::span<const std::uint8_t> bytes) {
  pugi::xml_document document;
  if (!xml::loadWellFormed(bytes, document)) return std::nullopt;
  pugi::xml_node plist;
  if (!nextElement(document.first_child(), plist) || !plist ||
      std::string_view(plist.name()) != "plist") {
    return std::nullopt;
  }
  pugi::xml_node top, extra;
  if (!nextElement(plist.next_sibling(), extra) || extra ||
      !nextElement(plist.first_child(), top) || !top || !nextElement(top.next_sibling(), extra) ||
      extra) {
    return std::nullopt;
  }
  if (!isContainer(top.name())) return readScalar(top);

  std::vector<Frame> frames;
  auto open = [&frames](const pugi::xml_node& element) {
    if (frames.size() >= kMaxNestingDepth) return false;
    Frame& frame = frames.emplace_back();
    frame.next = element.first_child();
    frame.isDict = std::string_view(element.name()) == "dict";
    return true;
  };
  open(top);
  while (true) {
    Frame& frame = frames.back();
    pugi::xml_node child;
    if (!nextElement(frame.next, child)) return std::nullopt;
    if (!child) {
      if (frame.haveKey || (frame.isDict && frame.dict.hasDuplicateKeys())) return std::nullopt;
      Value done = frame.isDict ? Value(std::move(frame.dict)) : Value(std::move(frame.array));
      frames.pop_back();
      if (frames.empty()) return done;
      Frame& parent = frames.back();
      if (parent.isDict) {
        parent.dict.append(std::move(parent.key), std::move(done));
        parent.haveKey = false;
      } else {
        parent.array.push_back(std::move(done));
      }
      continue;
    }
    frame.next = child.next_sibling();
    const std::string_view name = child.name();
    if (frame.isDict && !frame.haveKey) {
      if (name != "key" || !textOf(child, frame.key) || !isValidUtf8(frame.key)) {
        return std::nullopt;
      }
      frame.haveKey = true;
      continue;
    }
    if (isContainer(name)) {
      if (!open(child)) return std::nullopt;
      continue;
    }
    std::optional<Value> value = readScalar(child);
    if (!value) return std::nullopt;
    if (frame.isDict) {
      frame.dict.append(std::move(frame.key), std::move(*value));
      frame.haveKey = false;
    } else {
      frame.array.push_back(std::move(*value));
    }
  }
}

}  // namespace orvo::plist
