// The games listing: every registered game with its last-play time, as compact JSON.
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>

#include "DataManager.h"
#include "bridge/Text.h"
#include "games/Registry.h"
#include "platform/SystemLog.h"

namespace orvo::games {
namespace {

// Converts a stored value to JSON, or says why JSON cannot hold it. The JSON library would
// write NaN and infinities as null without complaint, so numbers are checked here.
class JsonConverter {
 public:
  std::optional<nlohmann::ordered_json> operator()(const plist::Value& value) {
    return std::visit([this](const auto& v) { return convert(v); }, value.storage());
  }
  const std::string& error() const { return error_; }

 private:
  std::optional<nlohmann::ordered_json> fail(std::string why) {
    error_ = std::move(why);
    return std::nullopt;
  }
  std::optional<nlohmann::ordered_json> convert(const std::string& s) {
    return nlohmann::ordered_json(s);
  }
  std::optional<nlohmann::ordered_json> convert(bool b) { return nlohmann::ordered_json(b); }
  std::optional<nlohmann::ordered_json> convert(double d) {
    if (std::isnan(d)) return fail("Invalid number value (NaN) in JSON write");
    if (std::isinf(d)) return fail("Invalid number value (infinite) in JSON write");
    return nlohmann::ordered_json(d);
  }
  std::optional<nlohmann::ordered_json> convert(const plist::Integer& i) {
    return i.beyondInt64() ? nlohmann::ordered_json(i.bits())
                           : nlohmann::ordered_json(i.asSigned());
  }
  std::optional<nlohmann::ordered_json> convert(const plist::Date&) {
    return fail("Invalid type in JSON write (date)");
  }
  std::optional<nlohmann::ordered_json> convert(const plist::Data&) {
    return fail("Invalid type in JSON write (data)");
  }
  std::optional<nlohmann::ordered_json> convert(const plist::Uid&) {
    return fail("Invalid type in JSON write (UID)");
  }
  std::optional<nlohmann::ordered_json> convert(const plist::Array& a) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const plist::Value& element : a) {
      std::optional<nlohmann::ordered_json> converted = (*this)(element);
      if (!converted) return std::nullopt;
      out.push_back(std::move(*converted));
    }
    return out;
  }
  std::optional<nlohmann::ordered_json> convert(const plist::Dictionary& d) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    // The keys are unique already: appending spares the object's linear search for each one.
    auto& members = out.get_ref<nlohmann::ordered_json::object_t&>();
    members.reserve(d.size());
    for (const auto& [key, element] : d) {
      std::optional<nlohmann::ordered_json> converted = (*this)(element);
      if (!converted) return std::nullopt;
      members.emplace_back(key, std::move(*converted));
    }
    return out;
  }

  std::string error_;
};

// The listing as JSON text; none, with the reason logged, when a value cannot be written.
std::optional<std::string> listGames(const plist::Dictionary& registry) {
  nlohmann::ordered_json games = nlohmann::ordered_json::array();
  JsonConverter toJson;
  for (const auto& [key, value] : registry) {
    nlohmann::ordered_json game = {{"bundle", key}};
    const plist::Dictionary* record = value.as<plist::Dictionary>();
    if (const plist::Value* lastPlay = record ? record->find(kLastPlayDateKey) : nullptr) {
      std::optional<nlohmann::ordered_json> converted = toJson(*lastPlay);
      if (!converted) {
        log::write("Error serializing gamesArray to JSON: " + toJson.error());
        return std::nullopt;
      }
      game["lastPlayDate"] = std::move(*converted);
    }
    games.push_back(std::move(game));
  }
  return games.dump();
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
