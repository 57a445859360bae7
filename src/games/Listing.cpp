// The games listing: every registered game with its last-play time, as compact JSON.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "games/Games.h"
#include "games/Json.h"
#include "games/Registry.h"
#include "platform/SystemLog.h"

namespace orvo::games {
namespace {

// Writes stored values straight into compact JSON text, in the layout games parse (a real keeps
// a ".0" when it is whole, an exponent from 10^15 on and below 10^-4), or says why JSON cannot
// hold a value: NaN, infinities, dates, data and UIDs.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}
  bool value(const plist::Object& value) { return plist::walk(value, *this); }
  const std::string& error() const { return error_; }

  bool scalar(const plist::Object& value, int);
  bool open(const plist::Object& container, int) {
    out_ += container.is(plist::Kind::kArray) ? '[' : '{';
    return true;
  }
  bool entry(const plist::Object&, std::size_t i, const plist::Object& key, int) {
    if (i > 0) out_ += ',';
    if (key) {
      appendJsonString(out_, *key.text(scratch_));
      out_ += ':';
    }
    return true;
  }
  bool after(const plist::Object&, bool, int) { return true; }
  bool close(const plist::Object& container, int) {
    out_ += container.is(plist::Kind::kArray) ? ']' : '}';
    return true;
  }

 private:
  bool fail(std::string why) {
    error_ = std::move(why);
    return false;
  }
  bool write(double d);

  std::string& out_;
  std::string error_;
  std::string scratch_;
};

bool JsonWriter::scalar(const plist::Object& value, int) {
  switch (*value.kind()) {
    case plist::Kind::kString:
      appendJsonString(out_, *value.text(scratch_));
      return true;
    case plist::Kind::kBool:
      out_ += *value.boolean() ? "true" : "false";
      return true;
    case plist::Kind::kReal:
      return write(*value.number());
    case plist::Kind::kInteger: {
      const plist::Integer i = *value.integer();
      out_ += i.beyondInt64() ? std::to_string(i.bits()) : std::to_string(i.asSigned());
      return true;
    }
    case plist::Kind::kDate:
      return fail("Invalid type in JSON write (date)");
    case plist::Kind::kData:
      return fail("Invalid type in JSON write (data)");
    default:
      return fail("Invalid type in JSON write (UID)");
  }
}

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
std::optional<std::string> listGames(const plist::Object& registry) {
  std::string listing = "[";
  JsonWriter json(listing);
  std::string scratch;
  for (std::size_t i = 0; i < registry.size(); ++i) {
    if (i > 0) listing += ',';
    listing += "{\"bundle\":";
    appendJsonString(listing, *registry.key(i).text(scratch));
    const plist::Object record = registry.value(i);
    if (const plist::Object lastPlay = record.find(kLastPlayDateKey)) {
      listing += ",\"lastPlayDate\":";
      if (!json.value(lastPlay)) {
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

std::optional<std::string> allGames() {
  std::optional<std::string> listing;
  readRegistry([&](const plist::Object& registry) { listing = listGames(registry); });
  return listing;
}

}  // namespace orvo::games
