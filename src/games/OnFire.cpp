// The on-fire rotation: which game is on fire now, and handing the status to the game that
// showed an interstitial least recently.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "games/Games.h"
#include "games/Registry.h"
#include "platform/Clock.h"
#include "platform/SystemLog.h"

namespace orvo::games {
namespace {

// The game whose end date is the latest of those strictly after now (an end equal to now is
// over); the first one met wins a tie. The clock is read anew for every record, as a long
// registry takes time to go through.
std::optional<std::string> findCurrentOnFire(const plist::Object& registry) {
  std::optional<std::size_t> current;
  double bestEnd = 0;
  for (std::size_t i = 0; i < registry.size(); ++i) {
    const plist::Object record = registry.value(i);
    const double end =
        record.is(plist::Kind::kDictionary) ? numberField(record, kOnFireEndDateKey) : 0;
    const double now = secondsSince1970();
    if (end > now && end > bestEnd) {
      current = i;
      bestEnd = end;
    }
  }
  return current ? registry.key(*current).string() : std::nullopt;
}

// The last entry appended (not the largest); 0 for a game without interstitials.
double latestInterstitial(const plist::Object& record) {
  const std::optional<plist::Object> list = interstitials(record);
  const plist::Object last = list ? list->last() : plist::Object();
  return last ? entryValue(last) : 0;
}

// Only a strictly earlier interstitial replaces the candidate met first, and any time beats a
// latest entry that is not a number: the shuffle alone decides among those.
bool ranksBefore(double latest, double chosenLatest) {
  return latest < chosenLatest || (std::isnan(chosenLatest) && !std::isnan(latest));
}

// Fisher-Yates (Durstenfeld): every order is equally likely, so ties below are broken
// uniformly at random.
void shuffle(std::vector<std::size_t>& positions) {
  RandomDraws draws(positions.size());
  for (std::size_t n = positions.size(); n > 1; --n) {
    const std::size_t j = draws.below(static_cast<std::uint32_t>(n));
    std::swap(positions[n - 1], positions[j]);
  }
}

std::optional<std::string> chooseNext(const plist::Object& registry,
                                      const std::optional<std::string_view>& excluded,
                                      const std::optional<std::string>& current) {
  std::vector<std::size_t> positions(registry.size());
  for (std::size_t i = 0; i < positions.size(); ++i) positions[i] = i;
  shuffle(positions);
  std::optional<std::size_t> chosen;
  double chosenLatest = 0;
  for (const std::size_t i : positions) {
    const plist::Object key = registry.key(i);
    if ((excluded && key.textEquals(*excluded)) || (current && key.textEquals(*current))) continue;
    // A record that is not a dictionary cannot be put on fire.
    const plist::Object record = registry.value(i);
    if (!record.is(plist::Kind::kDictionary)) continue;
    const double latest = latestInterstitial(record);
    if (!chosen || ranksBefore(latest, chosenLatest)) {
      chosen = i;
      chosenLatest = latest;
    }
  }
  return chosen ? registry.key(*chosen).string() : std::nullopt;
}

void setOnFireEndDate(Registry& registry, const std::string& key, double endDate) {
  if (plist::DictionaryEdit* record = registry.changes.edit(key)) {
    record->set(kOnFireEndDateKey, endDate);
  }
}

}  // namespace

std::optional<std::string> currentGameOnFire() {
  std::optional<std::string> current;
  readRegistry([&](const plist::Object& registry) { current = findCurrentOnFire(registry); });
  return current;
}

std::optional<std::string> setNextGameOnFire(std::optional<std::string_view> excluded,
                                             double value) {
  // An end that is not a finite number would leave a game on fire for good, or never.
  if (!std::isfinite(value)) return std::nullopt;
  std::optional<std::string> chosen;
  const bool stored = updateRegistry([&](Registry& registry, log::Lines& lines) {
    const std::optional<std::string> current = findCurrentOnFire(registry.stored);
    lines.add("--> setNextGameOnFire > currrentOnFireGameKey: ").append(log::describe(current));
    chosen = chooseNext(registry.stored, excluded, current);
    lines.add("--> setNextGameOnFire > newOnFireGameKey: ").append(log::describe(chosen));
    if (!chosen) return false;
    setOnFireEndDate(registry, *chosen, value);
    if (current) {
      lines.add("--> setNextGameOnFire > clear old On Fire game: ").append(*current);
      setOnFireEndDate(registry, *current, 0);
    }
    return true;
  });
  // A choice that was not stored is no choice: the game would not be on fire.
  return stored ? chosen : std::nullopt;
}

}  // namespace orvo::games
