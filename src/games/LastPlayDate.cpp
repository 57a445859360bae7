#include <cmath>
#include <string>

#include "games/Games.h"
#include "games/Registry.h"
#include "platform/SystemLog.h"

namespace orvo::games {

void setLastPlayDate(std::string_view gameKey, double value) {
  // A time that is not a finite number would poison every later use of the record.
  if (!std::isfinite(value)) return;
  updateRegistry([&](Registry& registry, log::Lines& log) {
    plist::DictionaryEdit* record = registry.changes.edit(gameKey);
    if (record == nullptr) return false;
    record->set(kLastPlayDateKey, value);
    log.add("--> setLastPlayDate : ").append(log::fixed6(value));
    return true;
  });
}

}  // namespace orvo::games
