// The games registry: the "GamesKey" dictionary of game key to game record that every game
// of the group shares, and the one way in which writers change it.
#ifndef ORVO_GAMES_REGISTRY_H_
#define ORVO_GAMES_REGISTRY_H_

#include <functional>
#include <limits>
#include <optional>
#include <string_view>

#include "platform/SystemLog.h"
#include "platform/plist/PropertyListEdit.h"
#include "platform/plist/PropertyListView.h"

namespace orvo::games {

inline constexpr std::string_view kGamesKey = "GamesKey";
inline constexpr std::string_view kOnFireEndDateKey = "OnFireEndDate";
inline constexpr std::string_view kInterstitialsDatesKey = "InterstitialsDates";
inline constexpr std::string_view kLastPlayDateKey = "LastPlayDate";

// Runs `read` on the registry as stored; false, with `read` not run, when there is no suite
// or no registry.
bool readRegistry(const std::function<void(plist::Object registry)>& read);

// The registry of an update: as stored, and the changes to it, which the update writes back
// while every record it does not change is copied as it is.
struct Registry {
  plist::Object stored;
  plist::DictionaryEdit& changes;
};

// The registry update. Under the suite's lock, reads the suite and hands `change` its registry
// and a list for its log lines; when `change` returns true its changes are written back. The
// lines are logged once the lock is released. True only when the suite was stored: false, with
// nothing written, when there is no suite, registry or lock, when `change` returns false, or
// when the write failed.
using RegistryChange = std::function<bool(Registry& registry, log::Lines& log)>;
bool updateRegistry(const RegistryChange& change);

// The record of a game; none when the key has no record or the record is not a dictionary
// (the module cannot change such a record without destroying it).
plist::Object findRecord(const plist::Object& registry, std::string_view gameKey);

// A number field of a record: 0 when absent, NaN when it holds something that is not a
// number, so that every comparison with it fails.
double numberField(const plist::Object& record, std::string_view field);

// A record's interstitial times: no value (an empty list) when absent; none when the field
// holds something other than a list.
std::optional<plist::Object> interstitials(const plist::Object& record);

// An entry of an interstitial list, stored or new, as a double; NaN when it is not a number.
inline double entryValue(const plist::Object& entry) {
  return entry.number().value_or(std::numeric_limits<double>::quiet_NaN());
}
inline double entryValue(const plist::Value& entry) {
  return entry.number().value_or(std::numeric_limits<double>::quiet_NaN());
}

}  // namespace orvo::games

#endif  // ORVO_GAMES_REGISTRY_H_
