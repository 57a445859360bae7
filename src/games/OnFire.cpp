// The on-fire rotation: which game is on fire now, and handing the status to the game that
// showed an interstitial least recently.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "DataManager.h"
#include "bridge/Text.h"
#include "games/Registry.h"
#include "platform/Clock.h"
#include "platform/SystemLog.h"

namespace orvo::games {
namespace {

// The game whose end date is the latest of those strictly after now; the first one met wins
// a tie. The clock is read anew for every record, so an end date equal to now never counts.
std::optional<std::string> findCurrentOnFire(const plist::Dictionary& registry) {
  std::optional<std::string> current;
  double bestEnd = 0;
  for (const auto& [key, value] : registry) {
    const plist::Dictionary* record = value.as<plist::Dictionary>();
    const double end = record ? numberField(*record, kOnFireEndDateKey) : 0;
    const double now = secondsSince1970();
    if (end > now && end > bestEnd) {
      current = key;
      bestEnd = end;
    }
  }
  return current;
}

// The last entry appended (not the largest); 0 for a game without interstitials.
double latestInterstitial(const plist::Dictionary& record) {
  const plist::Array* list = interstitials(record);
  if (list == nullptr || list->empty()) return 0;
  return entryValue(list->back());
}

// Only a strictly earlier interstitial replaces the candidate met first, and any time beats a
// latest entry that is not a number: the shuffle alone decides among those.
bool ranksBefore(double latest, double chosenLatest) {
  return latest < chosenLatest || (std::isnan(chosenLatest) && !std::isnan(latest));
}

// Fisher-Yates (Durstenfeld): every order is equally likely, so ties below are broken
// uniformly at random.
void shuffle(std::vector<std::string_view>& keys) {
  RandomDraws draws(keys.size());
  for (std::size_t n = keys.size(); n > 1; --n) {
    const std::size_t j = draws.below(static_cast<std::uint32_t>(n));
    std::swap(keys[n - 1], keys[j]);
  }
}

std::optional<std::string> chooseNext(const plist::Dictionary& registry,
                                      const std::optional<std::string_view>& excluded,
                                      const std::optional<std::string>& current) {
  std::vector<std::string_view> keys;
  keys.reserve(registry.size());
  for (const auto& entry : registry) keys.emplace_back(entry.first);
  shuffle(keys);
  std::optional<std::string_view> chosen;
  double chosenLatest = 0;
  for (const std::string_view key : keys) {
    if ((excluded && key == *excluded) || (current && key == *current)) continue;
    // A record that is not a dictionary cannot be put on fire.
    const plist::Dictionary* record = findRecord(registry, key);
    if (record == nullptr) continue;
    const double latest = latestInterstitial(*record);
    if (!chosen || ranksBefore(latest, chosenLatest)) {
      chosen = key;
      chosenLatest = latest;
    }
  }
  return chosen ? std::optional<std::string>(*chosen) : std::nullopt;
}

void setOnFireEndDate(plist::Dictionary& registry, const std::string& key, double endDate) {
  if (plist::Dictionary* record = findRecord(registry, key)) {
    record->set(std::string(kOnFireEndDateKey), endDate);
  }
}

}  // namespace
}  // namespace orvo::games

char* DataManager::getCurrentGameOnFire() noexcept {
  try {
    std::optional<std::string> current;
    orvo::games::readRegistry([&](const orvo::plist::Dictionary& registry) {
      current = orvo::games::findCurrentOnFire(registry);
    });
    return current ? orvo::copyOut(*current) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

char* DataManager::setNextGameOnFire(const char* gameKey, double value) noexcept {
  namespace games = orvo::games;
  namespace log = orvo::log;
  try {
    // An end that is not a finite number would leave a game on fire for good, or never.
    if (gameKey == nullptr || !std::isfinite(value)) return nullptr;
    // Text that is not UTF-8 names no game and so excludes none.
    const std::optional<std::string_view> excluded = orvo::textArgument(gameKey);
    std::optional<std::string> chosen;
    const bool stored = games::updateRegistry([&](orvo::plist::Dictionary& registry,
                                                  log::Lines& lines) {
      const std::optional<std::string> current = games::findCurrentOnFire(registry);
      lines.add("--> setNextGameOnFire > currrentOnFireGameKey: ").append(log::describe(current));
      chosen = games::chooseNext(registry, excluded, current);
      lines.add("--> setNextGameOnFire > newOnFireGameKey: ").append(log::describe(chosen));
      if (!chosen) return false;
      games::setOnFireEndDate(registry, *chosen, value);
      if (current) {
        lines.add("--> setNextGameOnFire > clear old On Fire game: ").append(*current);
        games::setOnFireEndDate(registry, *current, 0);
      }
      return true;
    });
    // A choice that was not stored is no choice: the game would not be on fire.
    return stored ? orvo::copyOut(*chosen) : nullptr;
  } catch (...) {
    return nullptr;
  }
}
