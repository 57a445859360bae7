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

// Keeps the entries at or after the window start, in their order; the stored numbers themselves.
void keepEntriesInWindow(plist::Array& list, double windowStart) {
  std::erase_if(list, [windowStart](const plist::Value& entry) {
    return !(entryValue(entry) >= windowStart);
  });
}

// Every other game is checked until the first that holds an entry inside the window.
bool noOtherGameInWindow(const plist::Dictionary& registry,
                         const std::vector<std::string_view>& keys, std::string_view caller,
                         double windowStart, log::Lines& lines) {
  for (const std::string_view key : keys) {
    if (key == caller) continue;
    lines.add("--> setInterstitialDate > Check inters for game: ").append(key);
    const plist::Dictionary* record = findRecord(registry, key);
    const plist::Array* list = record ? interstitials(*record) : nullptr;
    const bool isContainsDates = list != nullptr && hasEntryInsideWindow(*list, windowStart);
    lines.add("--> setInterstitialDate > Check inters for game > isContainsDates: ")
        .append(log::describeBool(isContainsDates));
    if (isContainsDates) return false;
  }
  return true;
}

// Trims every game's list, the caller's included, to the window. A record without a list
// gains an empty one; a record or list the module cannot read is left as it is.
void pruneAll(plist::Dictionary& registry, const std::vector<std::string_view>& keys,
              double windowStart, log::Lines& lines) {
  for (const std::string_view key : keys) {
    plist::Dictionary* record = findRecord(registry, key);
    plist::Array* list = record ? interstitialsInPlace(*record) : nullptr;
    if (list == nullptr) continue;
    keepEntriesInWindow(*list, windowStart);
    log::appendDescription(lines.add("--> setInterstitialDate > Delete inters for game > Inters: "),
                           *list);
  }
}

bool recordInterstitial(plist::Dictionary& registry, std::string_view caller, double value,
                        double duration, bool& answer, log::Lines& lines) {
  plist::Dictionary* record = findRecord(registry, caller);
  if (record == nullptr) return false;

  // A list field holding something else is replaced, as the append could not keep it.
  plist::Array* list = interstitialsInPlace(*record);
  if (list == nullptr) {
    record->set(std::string(kInterstitialsDatesKey), plist::Array());
    list = interstitialsInPlace(*record);
  }
  list->emplace_back(value);
  log::appendDescription(lines.add("--> setInterstitialDate > Current game inters: "), *list);
  const double windowStart = value - duration;
  if (!oldestIsBeforeWindow(*list, windowStart)) {
    answer = false;
    return true;
  }

  // The registry gains and loses no key here, so views of its keys stay valid.
  std::vector<std::string_view> keys;
  keys.reserve(registry.size());
  for (const auto& entry : registry) keys.emplace_back(entry.first);
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
