// Interstitial history: each call records one interstitial for the calling game and answers
// whether another may be shown, from a window of `duration` ending at `value` over the
// interstitial times of every game of the group.
#include <cmath>
#include <string>
#include <vector>

#include "DataManager.h"
#include "bridge/Text.h"
#include "games/Registry.h"
#include "platform/SystemLog.h"

namespace orvo::games {
namespace {

namespace log = orvo::log;

// Step one of the answer: the calling game's oldest entry must lie strictly before the window
// start. An entry at the start, or a comparison with NaN, fails.
bool oldestIsBeforeWindow(const plist::Array& list, double windowStart) {
  return entryValue(list.front()) < windowStart;
}

// Whether any entry lies strictly inside the window; one exactly at the start does not.
bool hasEntryInsideWindow(const plist::Array& list, double windowStart) {
  for (const plist::Value& entry : list) {
    if (entryValue(entry) > windowStart) return true;
  }
  return false;
}

// The entries at or after the window start, in their order; the stored numbers themselves.
plist::Array entriesInWindow(const plist::Array& list, double windowStart) {
  plist::Array kept;
  for (const plist::Value& entry : list) {
    if (entryValue(entry) >= windowStart) kept.push_back(entry);
  }
  return kept;
}

// Every other game is checked until the first that holds an entry inside the window.
bool noOtherGameInWindow(const plist::Dictionary& registry, const std::vector<std::string>& keys,
                         std::string_view caller, double windowStart, log::Lines& lines) {
  for (const std::string& key : keys) {
    if (key == caller) continue;
    lines.push_back("--> setInterstitialDate > Check inters for game: " + key);
    const plist::Dictionary* record = findRecord(registry, key);
    const plist::Array* list = record ? interstitials(*record) : nullptr;
    const bool isContainsDates = list != nullptr && hasEntryInsideWindow(*list, windowStart);
    lines.push_back("--> setInterstitialDate > Check inters for game > isContainsDates: " +
                    log::describeBool(isContainsDates));
    if (isContainsDates) return false;
  }
  return true;
}

// Trims every game's list, the caller's included, to the window. A record without a list
// gains an empty one; a record or list the module cannot read is left as it is.
void pruneAll(plist::Dictionary& registry, const std::vector<std::string>& keys, double windowStart,
              log::Lines& lines) {
  for (const std::string& key : keys) {
    plist::Dictionary* record = findRecord(registry, key);
    if (record == nullptr) continue;
    const plist::Array* list = interstitials(*record);
    if (list == nullptr) continue;
    plist::Array kept = entriesInWindow(*list, windowStart);
    lines.push_back("--> setInterstitialDate > Delete inters for game > Inters: " +
                    log::describe(plist::Value(kept)));
    record->set(std::string(kInterstitialsDatesKey), std::move(kept));
  }
}

bool recordInterstitial(plist::Dictionary& registry, std::string_view caller, double value,
                        double duration, bool& answer, log::Lines& lines) {
  plist::Dictionary* record = findRecord(registry, caller);
  if (record == nullptr) return false;

  // A list field holding something else is replaced, as the append could not keep it.
  const plist::Array* stored = interstitials(*record);
  plist::Array list = stored ? *stored : plist::Array();
  list.emplace_back(value);
  lines.push_back("--> setInterstitialDate > Current game inters: " +
                  log::describe(plist::Value(list)));
  const double windowStart = value - duration;
  const bool beforeWindow = oldestIsBeforeWindow(list, windowStart);
  record->set(std::string(kInterstitialsDatesKey), std::move(list));
  if (!beforeWindow) {
    answer = false;
    return true;
  }

  std::vector<std::string> keys;
  keys.reserve(registry.size());
  for (const auto& entry : registry) keys.push_back(entry.first);
  answer = noOtherGameInWindow(registry, keys, caller, windowStart, lines);
  pruneAll(registry, keys, windowStart, lines);
  return true;
}

}  // namespace
}  // namespace orvo::games

bool DataManager::setInterstitialDate(const char* gameKey, double value, double duration) noexcept {
  try {
    const std::optional<std::string_view> caller = orvo::textArgument(gameKey);
    // A time that is not a number, or a window that ends before it starts, would prune every
    // game's history to nothing or mute a game for good. An endless window is a window.
    if (!caller || !std::isfinite(value) || !(duration >= 0)) return false;
    bool answer = false;
    const bool stored = orvo::games::updateRegistry(
        [&](orvo::plist::Dictionary& registry, orvo::log::Lines& lines) {
          return orvo::games::recordInterstitial(registry, *caller, value, duration, answer, lines);
        });
    // An answer whose interstitial was not recorded would not count in the next window.
    return stored && answer;
  } catch (...) {
    return false;
  }
}
