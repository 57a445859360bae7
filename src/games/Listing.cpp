// The games listing: every registered game with its last-play time, as compact JSON.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <variant>

#include "DataManager.h"
#include "bridge/Text.h"
#include "games/Registry.h"
#include "platform/SystemLog.h"

namespace orvo::games {
namespace {

// Writes stored values straight into compact JSON text, laid out as the listing always has been
// (a real keeps a ".0" when it is whole, an exponent from 10^16 on and below 10^-4), or says
// why JSON cannot hold a value: NaN, infinities, dates, data and UIDs.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}
  bool value(const plist::Value& value) {
    return std::visit([this](const auto& v) { return write(v); }, value.storage());
  }
  void string(std::string_view text);
  const std::string& error() const { return error_; }

 private:
  bool fail(std::string why) {
    error_ = std::move(why);
    return false;
  }
  bool write(const std::string& s) {
    string(s);
    return true;
  }
  bool write(bool b) {
    out_ += b ? "true" : "false";
    return true;
  }
  bool write(double d);
  bool write(const plist::Integer& i) {
    out_ += i.beyondInt64() ? std::to_string(i.bits()) : std::to_string(i.asSigned());
    return true;
  }
  bool write(const plist::Date&) { return fail("Invalid type in JSON write (date)"); }
  bool write(const plist::Data&) { return fail("Invalid type in JSON write (data)"); }
  bool write(const plist::Uid&) { return fail("Invalid type in JSON write (UID)"); }
  bool write(const plist::Array& a) {
    out_ += '[';
    for (const plist::Value& element : a) {
      if (&element != a.data()) out_ += ',';
      if (!value(element)) return false;
    }
    out_ += ']';
    return true;
  }
  bool write(const plist::Dictionary& d) {
    out_ += '{';
    for (const auto& [key, element] : d) {
      if (&key != &d.begin()->first) out_ += ',';
      string(key);
      out_ += ':';
      if (!value(element)) return false;
    }
    out_ += '}';
    return true;
  }

  std::string& out_;
  std::string error_;
};

void JsonWriter::string(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out_ += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out_ += "\\\"";
        break;
      case '\\':
        out_ += "\\\\";
        break;
      case '\b':
        out_ += "\\b";
        break;
      case '\f':
        out_ += "\\f";
        break;
      case '\n':
        out_ += "\\n";
        break;
      case '\r':
        out_ += "\\r";
        break;
      case '\t':
        out_ += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out_ += "\\u00";
          out_ += kHex[c >> 4];
          out_ += kHex[c & 15];
        } else {
          out_ += c;
        }
    }
  }
  out_ += '"';
}

bool JsonWriter::write(double d) {
  if (std::isnan(d)) return fail("Invalid number value (NaN) in JSON write");
  if (std::isinf(d)) return fail("Invalid number value (infinite) in JSON write");
  if (std::signbit(d)) out_ += '-';
  d = std::fabs(d);
  if (d == 0) {
    out_ += "0.0";
    return true;
  }
  // The shortest digits that read back, and the place of the decimal point among them.
  char text[32];
  const char* end = std::to_chars(text, text + sizeof text, d, std::chars_format::scientific).ptr;
  const std::string_view scientific(text, static_cast<std::size_t>(end - text));
  const std::size_t e = scientific.find('e');
  std::string digits(1, scientific[0]);
  if (e > 1) digits.append(scientific.substr(2, e - 2));
  const int k = static_cast<int>(digits.size());
  int exponent10 = 0;
  std::from_chars(scientific.data() + e + (scientific[e + 1] == '+' ? 2 : 1), end, exponent10);
  const int n = exponent10 + 1;
  if (k <= n && n <= 15) {
    out_.append(digits).append(static_cast<std::size_t>(n - k), '0').append(".0");
  } else if (0 < n && n <= 15) {
    out_.append(digits, 0, static_cast<std::size_t>(n)).append(".").append(digits, n);
  } else if (-4 < n && n <= 0) {
    out_.append("0.").append(static_cast<std::size_t>(-n), '0').append(digits);
  } else {
    out_ += digits[0];
    if (k > 1) out_.append(".").append(digits, 1);
    const int exponent = n - 1;
    out_.append(exponent < 0 ? "e-" : "e+");
    if (std::abs(exponent) < 10) out_ += '0';
    out_ += std::to_string(std::abs(exponent));
  }
  return true;
}

// The listing as JSON text; none, with the reason logged, when a value cannot be written.
std::optional<std::string> listGames(const plist::Dictionary& registry) {
  std::string listing = "[";
  JsonWriter json(listing);
  for (const auto& [key, value] : registry) {
    if (listing.size() > 1) listing += ',';
    listing += "{\"bundle\":";
    json.string(key);
    const plist::Dictionary* record = value.as<plist::Dictionary>();
    if (const plist::Value* lastPlay = record ? record->find(kLastPlayDateKey) : nullptr) {
      listing += ",\"lastPlayDate\":";
      if (!json.value(*lastPlay)) {
        log::write("Error serializing gamesArray to JSON: " + json.error());
        return std::nullopt;
      }
    }
    listing += '}';
  }
  listing += ']';
  return listing;
}

}  // namespace
}  // namespace orvo::games

char* DataManager::getAllGames() noexcept {
  try {
    std::optional<std::string> listing;
    orvo::games::readRegistry([&](const orvo::plist::Dictionary& registry) {
      listing = orvo::games::listGames(registry);
    });
    return listing ? orvo::copyOut(*listing) : nullptr;
  } catch (...) {
    return nullptr;
  }
}
