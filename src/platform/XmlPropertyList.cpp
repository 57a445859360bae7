// XML property lists, read only. pugixml parses without recursion; the conversion below keeps
// its own stack of open containers, so a deep document costs heap, never call stack.
#include <charconv>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PropertyList.h"
#include "platform/Utf8.h"
#include "platform/XmlDocument.h"

namespace orvo::plist {
namespace {

// Seconds from 1970-01-01 to 2001-01-01, the epoch of property-list dates.
constexpr std::int64_t kUnixSecondsAt2001 = 978307200;

template <typename T>
bool parseWhole(std::string_view text, T& out, int base) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return error == std::errc() && end == text.data() + text.size();
}

bool isBlank(std::string_view text) {
  for (const char c : text) {
    if (!xml::isSpace(c)) return false;
  }
  return true;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && xml::isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && xml::isSpace(text.back())) text.remove_suffix(1);
  return text;
}

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

std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
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
  if (year < 1 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59) {
    return std::nullopt;
  }
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
  const std::int64_t seconds =
      daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
      std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second;
  return Date{static_cast<double>(seconds - kUnixSecondsAt2001)};
}

// Base64 between any amount of XML whitespace; padding as the alphabet requires.
std::optional<Data> parseData(std::string_view text) {
  Data data;
  data.bytes.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  unsigned pending = 0;  // bits held in `bits`
  std::size_t symbols = 0;
  std::size_t padding = 0;
  for (const char c : text) {
    if (xml::isSpace(c)) continue;
    ++symbols;
    if (c == '=') {
      ++padding;
      continue;
    }
    if (padding != 0) return std::nullopt;
    unsigned value = 0;
    if (c >= 'A' && c <= 'Z') {
      value = static_cast<unsigned>(c - 'A');
    } else if (c >= 'a' && c <= 'z') {
      value = static_cast<unsigned>(c - 'a') + 26;
    } else if (c >= '0' && c <= '9') {
      value = static_cast<unsigned>(c - '0') + 52;
    } else if (c == '+') {
      value = 62;
    } else if (c == '/') {
      value = 63;
    } else {
      return std::nullopt;
    }
    bits = (bits << 6 | value) & 0xFFFFFF;
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      data.bytes.push_back(static_cast<std::uint8_t>(bits >> pending));
    }
  }
  if (symbols % 4 != 0 || padding > 2) return std::nullopt;
  return data;
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
    if (isBlank(text)) return Value(name == "true");
  } else if (name == "date") {
    if (auto date = parseDate(text)) return Value(*date);
  } else if (name == "data") {
    if (auto data = parseData(text)) return Value(std::move(*data));
  }
  return std::nullopt;
}

bool isContainer(std::string_view name) { return name == "array" || name == "dict"; }

// The next element among `node` and its following siblings; fails on text that is not blank.
bool nextElement(pugi::xml_node node, pugi::xml_node& element) {
  for (; node; node = node.next_sibling()) {
    if (node.type() == pugi::node_element) break;
    if (isText(node) && !isBlank(node.value())) return false;
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
