// Any bytes as the group's suite file, old enough to be healed, then every registry and
// player-store operation on it, with game keys from the suite where it has any.
#include <OrvoModule/OrvoModule.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "platform/FileSystem.h"
#include "platform/plist/PropertyList.h"

namespace {

using namespace orvo::fuzz;
namespace plist = orvo::plist;

constexpr double kTimes[] = {4e9, 1.7e9, 0, -1, 1e300, NAN, HUGE_VAL, -0.0};
constexpr double kDurations[] = {600, 0, -600, 1e9, NAN};

std::optional<plist::Value> parseSuite(std::string_view bytes) {
  auto root =
      plist::readPropertyList({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  return root && root->is<plist::Dictionary>() ? root : std::nullopt;
}

// The value's entry `name` when it is a dictionary that has one.
const plist::Value* entry(const plist::Value* value, std::string_view name) {
  const auto* dictionary = value ? value->as<plist::Dictionary>() : nullptr;
  return dictionary ? dictionary->find(name) : nullptr;
}

// JSON has no dates, data, UIDs, NaN or infinities.
bool jsonable(const plist::Value& value) {
  if (value.is<plist::Date>() || value.is<plist::Data>() || value.is<plist::Uid>()) return false;
  if (const double* d = value.as<double>()) return std::isfinite(*d);
  if (const auto* array = value.as<plist::Array>()) {
    return std::all_of(array->begin(), array->end(), jsonable);
  }
  const auto* dictionary = value.as<plist::Dictionary>();
  return !dictionary || std::all_of(dictionary->begin(), dictionary->end(),
                                    [](const auto& item) { return jsonable(item.second); });
}

void checkListing(const char* listing, const plist::Dictionary* registry) {
  const bool listable =
      registry && std::all_of(registry->begin(), registry->end(), [](const auto& game) {
        const plist::Value* lastPlay = entry(&game.second, "LastPlayDate");
        return lastPlay == nullptr || jsonable(*lastPlay);
      });
  FUZZ_CHECK(listable == (listing != nullptr));
  if (!listing) return;
  const auto games = nlohmann::ordered_json::parse(listing, nullptr, false);
  FUZZ_CHECK(games.is_array() && games.size() == registry->size());
  // Compact: no white space outside strings (their digits may differ from the library's own).
  bool inString = false;
  for (const char* c = listing; *c != '\0'; ++c) {
    FUZZ_CHECK(inString || std::isspace(static_cast<unsigned char>(*c)) == 0);
    if (*c == '"') inString = !inString;
    if (*c == '\\' && inString) ++c;
  }
}

// Whether a damaged copy beside the suite holds `bytes`.
bool keptDamaged(const stdfs::path& suiteFile, std::string_view bytes) {
  const std::string prefix = suiteFile.filename().string() + ".damaged-";
  for (const auto& entry : stdfs::directory_iterator(suiteFile.parent_path())) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0 && readFile(entry.path()) == bytes) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const stdfs::path suiteFile =
      appGroupFile("Library/Preferences/" ORVO_APP_GROUP_IDENTIFIER ".plist");
  const std::string_view input = textOf(data, size);
  stdfs::remove_all(suiteFile.parent_path());  // no last good or damaged copy of earlier inputs
  writeFile(suiteFile, input);
  stdfs::last_write_time(suiteFile, stdfs::file_time_type::clock::now() - std::chrono::minutes(1));
  std::optional<plist::Value> suite = parseSuite(input);
  const bool readable = suite.has_value();
  const auto games = [&] { return entry(suite ? &*suite : nullptr, "GamesKey"); };
  const auto registry = [&] { return games() ? games()->as<plist::Dictionary>() : nullptr; };
  std::string stored(input);

  // Runs one call quietly and rereads the suite; whether the call left it as it was.
  bool unchanged = true;
  const auto call = [&](auto&& operation) {
    quietly(operation);
    std::string now = readFile(suiteFile);
    unchanged = std::exchange(stored, now) == now;
    suite = parseSuite(stored);
    // Readable by the module, which reads no larger file; a damaged suite untouched until a
    // writer heals it, keeping its bytes in a damaged copy.
    FUZZ_CHECK(suite ? stored.size() <= orvo::fs::kMaxFileSize : unchanged);
    FUZZ_CHECK(readable || !suite || keptDamaged(suiteFile, input));
  };

  std::vector<std::string> keys{"com.orvo.unregistered"};
  if (const plist::Dictionary* all = registry()) {
    for (auto game = all->begin(); game != all->end() && keys.size() < 3; ++game) {
      keys.emplace_back(game->first.c_str());  // as a host passes it
    }
  }
  const std::size_t hash = std::hash<std::string_view>()(input);
  const std::string& first = keys[hash % keys.size()];
  const std::string& second = keys[hash / 7 % keys.size()];
  const double time = kTimes[hash / 11 % std::size(kTimes)];
  const double duration = kDurations[hash / 13 % std::size(kDurations)];

  Returned text;
  call([&] { text.reset(GetAllGames()); });
  checkListing(text.get(), registry());
  call([&] { text.reset(GetRefCode()); });
  call([&] { text.reset(GetCurrentGam\u0435OnFire()); });
  call([&] { SetLastPlayDate(first.c_str(), time); });

  // A yes needs the caller's oldest interstitial (the new one when it had none) before the window.
  const plist::Value* history = entry(entry(games(), first), "InterstitialsDates");
  const plist::Array* dates = history ? history->as<plist::Array>() : nullptr;
  const double oldest = dates && !dates->empty() ? dates->front().number().value_or(NAN) : time;
  volatile bool answer = false;
  call([&] { answer = SetInterstitialDate(first.c_str(), time, duration); });
  // The byte as the caller receives it.
  const unsigned char byte = *reinterpret_cast<volatile unsigned char*>(&answer);
  FUZZ_CHECK(byte <= 1 && (!answer || oldest < time - duration));

  // A key returned reads (to a NUL) as one of a game on fire until the date given; none, no change.
  call([&] { text.reset(SetNextGameOnFire(second.c_str(), time)); });
  const auto onFire = [&](const auto& game) {
    const plist::Value* end = entry(&game.second, "OnFireEndDate");
    const double* date = end ? end->as<double>() : nullptr;  // the module writes reals
    return game.first.c_str() == std::string_view(text.get()) && date != nullptr &&
           (*date == time || (std::isnan(*date) && std::isnan(time)));
  };
  FUZZ_CHECK(text ? registry() && std::any_of(registry()->begin(), registry()->end(), onFire)
                  : unchanged);

  call([&] { SetEventDate(time); });
  call([&] { text.reset(GetAllGames()); });
  checkListing(text.get(), registry());
  return 0;
}
