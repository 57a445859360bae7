// The registry's operations behind the entry points, on plain values. A failure is the
// no-value result (none, false, no effect); running out of memory throws, and the caller
// turns that into the same result.
#ifndef ORVO_GAMES_GAMES_H_
#define ORVO_GAMES_GAMES_H_

#include <optional>
#include <string>
#include <string_view>

namespace orvo::games {

// Sets the game's last-play time; no effect for a game without a record or a time that is not
// finite.
void setLastPlayDate(std::string_view gameKey, double value);

// The game whose on-fire period ends last of those not yet over.
std::optional<std::string> currentGameOnFire();

// Hands the on-fire period, ending at `value`, to the game that showed an interstitial least
// recently, never `excluded`; the game chosen, only once that is stored.
std::optional<std::string> setNextGameOnFire(std::optional<std::string_view> excluded,
                                             double value);

// Every registered game with its last-play time, as compact JSON.
std::optional<std::string> allGames();

// Records an interstitial of the game at `value` and answers whether another may be shown,
// from the window of `duration` ending at `value`; true only when that was stored.
bool setInterstitialDate(std::string_view gameKey, double value, double duration);

}  // namespace orvo::games

#endif  // ORVO_GAMES_GAMES_H_
