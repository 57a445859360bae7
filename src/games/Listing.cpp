// The games listing: every registered game with its last-play time, as compact JSON.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <variant>

#include "DataManager.h"
#include "bridge/Text.h"
#include "games/Registry.h"
#include "platform/SystemLog.h"
#include "platform/Utf8.h"

namespace orvo::games {
namespace {

// Writes stored values straight into compact JSON text, laid out as the listing always has been
// (a real keeps a ".0" when it is whole, an exponent from 10^15 on and below 10^-4), or says
// why JSON cannot hold a value: NaN, infinities, dates, data and UIDs.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}
  bool value(const plist::Value& value) {
    return std::visit([this](const auto& v) { return write(v); }, value.storage());
  }
  const std::string& error() const { return error_; }

 private:
  bool fail(std::string why) {
    error_ = std::move(why);
    return false;
  }
  bool write(const std::string& s) {
    appendJsonString(out_, s);
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
      appendJsonString(out_, key);
      out_ += ':';
      if (!value(element)) return false;
    }
    out_ += '}';
    return true;
  }

  std::string& out_;
  std::string error_;
};

bool JsonWriter::write(double d) {
  if (std::isnan(d)) return fail("Invalid number value (NaN) in JSON write");
  if (std::isinf(d)) return fail("Invalid number value (infinite) in JSON write");
  // The shortest digits that read back: plain from 10^-4 up to 10^15, where a whole number
  // keeps its ".0", with an exponent outside that.
  const double magnitude = std::fabs(d);
  const bool plain = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e15);
  char text[32];
  char* end = std::to_chars(text, text + sizeof text, d,
                            plain ? std::chars_format::fixed : std::chars_format::scientific)
                  .ptr;
  out_.append(text, end);
  if (plain && std::find(text, end, '.') == end) out_ += ".0";
  return true;
}

// The listing as JSON text; none, with the reason logged, when a value cannot be written.
std::optional<std::string> listGames(const plist::Dictionary& registry) {
  std::string listing = "[";
  JsonWriter json(listing);
  for (const auto& [key, value] : registry) {
    if (listing.size() > 1) listing += ',';
    listing += "{\"bundle\":";
    appendJsonString(listing, key);
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
