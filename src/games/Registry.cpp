#include "games/Registry.h"

#include <limits>

#include "store/AppGroupStore.h"

namespace orvo::games {
namespace {

const plist::Array kNoInterstitials;

}  // namespace

bool readRegistry(const std::function<void(const plist::Dictionary& registry)>& read) {
  const std::optional<const DefaultsSuite> suite = store::openSuite();
  if (!suite) return false;
  const plist::Dictionary* registry = suite->dictionaryForKey(kGamesKey);
  if (registry == nullptr) return false;
  read(*registry);
  return true;
}

bool updateRegistry(const RegistryChange& change) {
  log::Lines lines;
  const bool stored = store::updateSuite([&](DefaultsSuite& suite) {
    // The handle's registry is the call's own copy: changed in place, and written back whole.
    plist::Value* value = suite.editObject(kGamesKey);
    plist::Dictionary* registry = value == nullptr ? nullptr : value->as<plist::Dictionary>();
    return registry != nullptr && change(*registry, lines);
  });
  log::write(lines);
  return stored;
}

const plist::Dictionary* findRecord(const plist::Dictionary& registry, std::string_view gameKey) {
  const plist::Value* record = registry.find(gameKey);
  return record == nullptr ? nullptr : record->as<plist::Dictionary>();
}

plist::Dictionary* findRecord(plist::Dictionary& registry, std::string_view gameKey) {
  plist::Value* record = registry.find(gameKey);
  return record == nullptr ? nullptr : record->as<plist::Dictionary>();
}

double numberField(const plist::Dictionary& record, std::string_view field) {
  const plist::Value* value = record.find(field);
  if (value == nullptr) return 0;
  return entryValue(*value);
}

const plist::Array* interstitials(const plist::Dictionary& record) {
  const plist::Value* value = record.find(kInterstitialsDatesKey);
  if (value == nullptr) return &kNoInterstitials;
  return value->as<plist::Array>();
}

plist::Array* interstitialsInPlace(plist::Dictionary& record) {
  if (record.find(kInterstitialsDatesKey) == nullptr) {
    record.set(std::string(kInterstitialsDatesKey), plist::Array());
  }
  return record.find(kInterstitialsDatesKey)->as<plist::Array>();
}

double entryValue(const plist::Value& entry) {
  return entry.number().value_or(std::numeric_limits<double>::quiet_NaN());
}

}  // namespace orvo::games
