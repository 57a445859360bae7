// Interstitial history: each call records one interstitial for the calling game and answers
// whether another may be shown, from a window of `duration` ending at `value` over the
// interstitial times of every game of the group.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "games/Games.h"
#include "games/Registry.h"
#include "platform/SystemLog.h"

namespace orvo::games {
namespace {

namespace log = orvo::log;

// The first condition of a yes: the calling game's oldest entry lies strictly before the window
// start. An entry at the start, or a comparison with NaN, fails it.
bool oldestIsBeforeWindow(double oldest, double windowStart) { return oldest < windowStart; }

// Whether any entry lies strictly inside the window; one exactly at the start does not.
bool hasEntryInsideWindow(const plist::Object& list, double windowStart) {
  for (const plist::Object entry : list.elements()) {
    if (entryValue(entry) > windowStart) return true;
  }
  return false;
}

// Keeps the entries at or after the window start, in their order; the stored numbers themselves.
void keepEntriesInWindow(plist::ListEdit& list, double windowStart) {
  list.keepIf([windowStart](const auto& entry) { return entryValue(entry) >= windowStart; });
}

// Every other game is checked until the first that holds an entry inside the window.
bool noOtherGameInWindow(const plist::Object& registry, std::string_view caller, double windowStart,
                         log::Lines& lines) {
  std::string scratch;
  for (std::size_t i = 0; i < registry.size(); ++i) {
    const std::string_view key = *registry.key(i).text(scratch);
    if (key == caller) continue;
    lines.add("--> setInterstitialDate > Check inters for game: ").append(key);
    const plist::Object record = registry.value(i);
    const std::optional<plist::Object> list =
        record.is(plist::Kind::kDictionary) ? interstitials(record) : std::nullopt;
    const bool isContainsDates = list && hasEntryInsideWindow(*list, windowStart);
    lines.add("--> setInterstitialDate > Check inters for game > isContainsDates: ")
        .append(log::describeBool(isContainsDates));
    if (isContainsDates) return false;
  }
  return true;
}

// Trims every game's list, the caller's included, to the window. A record without a list
// gains an empty one; a record or list the module cannot read is left as it is.
void pruneAll(Registry& registry, std::string_view caller, plist::ListEdit& callerList,
              double windowStart, log::Lines& lines) {
  std::string scratch;
  for (std::size_t i = 0; i < registry.stored.size(); ++i) {
    const std::string_view key = *registry.stored.key(i).text(scratch);
    const plist::Object record = registry.stored.value(i);
    if (!record.is(plist::Kind::kDictionary)) continue;
    std::optional<plist::ListEdit> list;
    if (key == caller) {
      list = std::exchange(callerList, plist::ListEdit());  // a registry holds each key once
    } else if (const std::optional<plist::Object> stored = interstitials(record)) {
      list = *stored ? plist::ListEdit(*stored) : plist::ListEdit();
    } else {
      continue;
    }
    keepEntriesInWindow(*list, windowStart);
    log::appendDescription(lines.add("--> setInterstitialDate > Delete inters for game > Inters: "),
                           *list);
    registry.changes.edit(key)->set(kInterstitialsDatesKey, std::move(*list));
  }
}

bool recordInterstitial(Registry& registry, std::string_view caller, double value, double duration,
                        bool& answer, log::Lines& lines) {
  const plist::Object record = findRecord(registry.stored, caller);
  if (!record) return false;

  // A list field holding something else is replaced, as the append could not keep it.
  const plist::Object stored = interstitials(record).value_or(plist::Object());
  plist::ListEdit list = stored ? plist::ListEdit(stored) : plist::ListEdit();
  list.append(value);
  log::appendDescription(lines.add("--> setInterstitialDate > Current game inters: "), list);
  const double windowStart = value - duration;
  const double oldest = stored.size() > 0 ? entryValue(stored.element(0)) : value;
  if (!oldestIsBeforeWindow(oldest, windowStart)) {
    answer = false;
    registry.changes.edit(caller)->set(kInterstitialsDatesKey, std::move(list));
    return true;
  }
  answer = noOtherGameInWindow(registry.stored, caller, windowStart, lines);
  pruneAll(registry, caller, list, windowStart, lines);
  return true;
}

}  // namespace

bool setInterstitialDate(std::string_view gameKey, double value, double duration) {
  // A time that is not a number, or a window that ends before it starts, would prune every
  // game's history to nothing or mute a game for good. An endless window is a window.
  if (!std::isfinite(value) || !(duration >= 0)) return false;
  bool answer = false;
  const bool stored = updateRegistry([&](Registry& registry, log::Lines& lines) {
    return recordInterstitial(registry, gameKey, value, duration, answer, lines);
  });
  // An answer whose interstitial was not recorded would not count in the next window.
  return stored && answer;
}

}  // namespace orvo::games
