// Any bytes as the group's suite file, then every registry and player-store operation on it,
// with game keys from the suite where it has any. A suite that does not read as a dictionary is
// never touched; any other stays readable after every call, and each call does what it says to
// the file, or leaves it alone when it decides nothing. Returned text matches the suite.
#include <OrvoModule/OrvoModule.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/FileSystem.h"
#include "platform/PropertyList.h"

namespace {

using namespace orvo::fuzz;
namespace plist = orvo::plist;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTimes[] = {4e9, 1.7e9, 0, -1, 1e300, kNaN, HUGE_VAL, -0.0};
constexpr double kDurations[] = {600, 0, -600, 1e9, kNaN};

stdfs::path suiteFile;

std::optional<plist::Dictionary> parseSuite(std::string_view bytes) {
  std::optional<plist::Value> root = plist::readPropertyList(bytesOf(bytes));
  if (!root || !root->is<plist::Dictionary>()) return std::nullopt;
  return std::move(*root->as<plist::Dictionary>());
}

const plist::Dictionary* registryOf(const plist::Dictionary& suite) {
  const plist::Value* games = suite.find("GamesKey");
  return games ? games->as<plist::Dictionary>() : nullptr;
}

const plist::Dictionary* recordOf(const plist::Dictionary& suite, std::string_view key) {
  const plist::Dictionary* registry = registryOf(suite);
  const plist::Value* record = registry ? registry->find(key) : nullptr;
  return record ? record->as<plist::Dictionary>() : nullptr;
}

const plist::Value* fieldOf(const plist::Dictionary& suite, std::string_view key,
                            std::string_view field) {
  const plist::Dictionary* record = recordOf(suite, key);
  return record ? record->find(field) : nullptr;
}

// Whether a game other than `excluded` whose key reads as `name` to a host (up to a NUL) has a
// record whose field passes the test.
bool someGame(const plist::Dictionary& suite, std::string_view name, std::string_view field,
              const std::function<bool(const plist::Value*)>& test,
              std::optional<std::string_view> excluded = std::nullopt) {
  const plist::Dictionary* registry = registryOf(suite);
  return registry && std::any_of(registry->begin(), registry->end(), [&](const auto& game) {
           const auto* record = game.second.template as<plist::Dictionary>();
           return name == game.first.c_str() && game.first != excluded && record &&
                  test(record->find(field));
         });
}

bool sameNumber(const plist::Value* stored, double expected) {
  const std::optional<double> number = stored ? stored->number() : std::nullopt;
  return number && (*number == expected || (std::isnan(*number) && std::isnan(expected)));
}

// Whether the listing can hold the value: JSON has no dates, data, UIDs, NaN or infinities.
bool jsonable(const plist::Value& value) {
  if (value.is<plist::Date>() || value.is<plist::Data>() || value.is<plist::Uid>()) return false;
  if (const double* d = value.as<double>()) return std::isfinite(*d);
  if (const auto* array = value.as<plist::Array>()) {
    return std::all_of(array->begin(), array->end(), jsonable);
  }
  if (const auto* dictionary = value.as<plist::Dictionary>()) {
    return std::all_of(dictionary->begin(), dictionary->end(),
                       [](const auto& entry) { return jsonable(entry.second); });
  }
  return true;
}

void checkListing(const char* listing, const plist::Dictionary& suite) {
  const plist::Dictionary* registry = registryOf(suite);
  const bool listable =
      registry && std::all_of(registry->begin(), registry->end(), [](const auto& game) {
        const auto* record = game.second.template as<plist::Dictionary>();
        const plist::Value* lastPlay = record ? record->find("LastPlayDate") : nullptr;
        return lastPlay == nullptr || jsonable(*lastPlay);
      });
  FUZZ_CHECK(listable == (listing != nullptr));
  if (!listing) return;
  const auto games = nlohmann::ordered_json::parse(listing, nullptr, false);
  FUZZ_CHECK(games.is_array() && games.dump() == listing && games.size() == registry->size());
  auto game = games.begin();
  for (const auto& [key, value] : *registry) {
    FUZZ_CHECK(game->is_object() && game->value("bundle", std::string()) == key);
    const auto* record = value.as<plist::Dictionary>();
    const plist::Value* lastPlay = record ? record->find("LastPlayDate") : nullptr;
    FUZZ_CHECK(game->contains("lastPlayDate") == (lastPlay != nullptr));
    if (lastPlay && lastPlay->number()) {
      FUZZ_CHECK(game->at("lastPlayDate").get<double>() == *lastPlay->number());
    }
    ++game;
  }
}

// The byte of a returned bool as the caller receives it.
bool isZeroOrOne(bool answer) {
  volatile bool stored = answer;
  unsigned char byte;
  std::memcpy(&byte, const_cast<const bool*>(&stored), 1);
  return byte <= 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  suiteFile = scratchContainer() / "Library" / "Preferences" /
              (std::string(ORVO_APP_GROUP_IDENTIFIER) + ".plist");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = textOf(data, size);
  writeFile(suiteFile, input);
  std::optional<plist::Dictionary> suite = parseSuite(input);
  const bool readable = suite.has_value();
  std::string stored(input);

  // Runs one call quietly; the suite as it is afterwards, and whether the call left it as it was.
  bool unchanged = true;
  const auto call = [&](const std::function<void()>& operation) {
    {
      QuietStderr quiet;
      operation();
    }
    std::string now = readFile(suiteFile);
    unchanged = now == stored;
    stored = std::move(now);
    if (!readable) {
      FUZZ_CHECK(unchanged);
      return;
    }
    suite = parseSuite(stored);
    // Readable by the module itself, which reads no larger file.
    FUZZ_CHECK(suite.has_value() && stored.size() <= orvo::fs::kMaxFileSize);
  };
  // Whether a few more values keep the suite within that size; only then must every writer
  // store what it decided.
  const auto rewritten = suite ? plist::writeBinaryPropertyList(*suite) : std::nullopt;
  const bool fits = rewritten && rewritten->size() + 4096 <= orvo::fs::kMaxFileSize;

  std::vector<std::string> keys;
  if (const plist::Dictionary* registry = suite ? registryOf(*suite) : nullptr) {
    for (const auto& entry : *registry) {
      if (keys.size() == 2) break;
      keys.emplace_back(entry.first.c_str());  // as a host passes it
    }
  }
  keys.emplace_back("com.orvo.unregistered");
  const std::size_t hash = std::hash<std::string_view>()(input);
  const std::string& first = keys[hash % keys.size()];
  const std::string& second = keys[hash / 7 % keys.size()];
  const double time = kTimes[hash / 11 % std::size(kTimes)];
  const double duration = kDurations[hash / 13 % std::size(kDurations)];

  Returned text;
  call([&] { text.reset(GetAllGames()); });
  checkListing(text.get(), readable ? *suite : plist::Dictionary());

  call([&] { text.reset(GetRefCode()); });
  const plist::Value* refCode = suite ? suite->find("refCode") : nullptr;
  const std::string* expectedRefCode = refCode ? refCode->as<std::string>() : nullptr;
  FUZZ_CHECK((expectedRefCode != nullptr) == (text != nullptr));
  FUZZ_CHECK(!text || std::string_view(text.get()) == expectedRefCode->c_str());

  const double before = 1.7e9;  // earlier than any clock this runs on
  call([&] { text.reset(GetCurrentGam\u0435OnFire()); });
  FUZZ_CHECK(!text || someGame(*suite, text.get(), "OnFireEndDate", [&](const plist::Value* end) {
    return end && end->number().value_or(0) > before;
  }));

  const bool hadRecord = suite && recordOf(*suite, first);
  call([&] { SetLastPlayDate(first.c_str(), time); });
  FUZZ_CHECK(hadRecord ? !fits || sameNumber(fieldOf(*suite, first, "LastPlayDate"), time)
                       : unchanged);

  // A yes needs the caller's oldest interstitial (the new one when it had none) before the window.
  const plist::Value* history = suite ? fieldOf(*suite, first, "InterstitialsDates") : nullptr;
  const plist::Array* dates = history ? history->as<plist::Array>() : nullptr;
  const double oldest = dates && !dates->empty() ? dates->front().number().value_or(kNaN) : time;
  bool answer = false;
  call([&] { answer = SetInterstitialDate(first.c_str(), time, duration); });
  FUZZ_CHECK(isZeroOrOne(answer));
  FUZZ_CHECK(!answer || oldest < time - duration);
  const plist::Value* interstitials =
      suite ? fieldOf(*suite, first, "InterstitialsDates") : nullptr;
  FUZZ_CHECK(hadRecord ? !fits || (interstitials && interstitials->is<plist::Array>())
                       : unchanged && !answer);

  call([&] { text.reset(SetNextGameOnFire(second.c_str(), time)); });
  FUZZ_CHECK(text ? someGame(
                        *suite, text.get(), "OnFireEndDate",
                        [&](const plist::Value* end) { return sameNumber(end, time); }, second)
                  : unchanged);

  const plist::Value* events = suite ? suite->find("eventsDates") : nullptr;
  const std::size_t eventCount =
      events && events->is<plist::Array>() ? events->as<plist::Array>()->size() : 0;
  call([&] { SetEventDate(time); });
  if (fits) {
    const plist::Value* after = suite->find("eventsDates");
    const plist::Array* list = after ? after->as<plist::Array>() : nullptr;
    FUZZ_CHECK(list && list->size() == eventCount + 1 && sameNumber(&list->back(), time));
  }

  call([&] { text.reset(GetAllGames()); });
  checkListing(text.get(), readable ? *suite : plist::Dictionary());
  return 0;
}
