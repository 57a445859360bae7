#include <cmath>
#include <string>

#include "DataManager.h"
#include "bridge/Text.h"
#include "games/Registry.h"
#include "platform/SystemLog.h"

void DataManager::setLastPlayDate(const char* gameKey, double value) noexcept {
  try {
    const std::optional<std::string_view> key = orvo::textArgument(gameKey);
    // A time that is not a finite number would poison every later use of the record.
    if (!key || !std::isfinite(value)) return;
    orvo::games::updateRegistry([&](orvo::games::Registry& registry, orvo::log::Lines& log) {
      orvo::plist::DictionaryEdit* record = registry.changes.edit(*key);
      if (record == nullptr) return false;
      record->set(orvo::games::kLastPlayDateKey, value);
      log.add("--> setLastPlayDate : ").append(orvo::log::fixed6(value));
      return true;
    });
  } catch (...) {
  }
}
