#include "games/Registry.h"

#include "store/AppGroupStore.h"

namespace orvo::games {

bool readRegistry(const std::function<void(plist::Object registry)>& read) {
  const std::optional<const DefaultsSuite> suite = store::openSuite();
  if (!suite) return false;
  const plist::Object registry = suite->dictionaryForKey(kGamesKey);
  if (!registry) return false;
  read(registry);
  return true;
}

bool updateRegistry(const RegistryChange& change) {
  log::Lines lines;
  const bool stored = store::updateSuite([&](DefaultsSuite& suite) {
    plist::DictionaryEdit* changes = suite.editDictionary(kGamesKey);
    if (changes == nullptr) return false;
    Registry registry{changes->stored(), *changes};
    return change(registry, lines);
  });
  log::write(lines);
  return stored;
}

plist::Object findRecord(const plist::Object& registry, std::string_view gameKey) {
  const plist::Object record = registry.find(gameKey);
  return record.is(plist::Kind::kDictionary) ? record : plist::Object();
}

double numberField(const plist::Object& record, std::string_view field) {
  const plist::Object value = record.find(field);
  return value ? entryValue(value) : 0;
}

std::optional<plist::Object> interstitials(const plist::Object& record) {
  const plist::Object list = record.find(kInterstitialsDatesKey);
  if (list && !list.is(plist::Kind::kArray)) return std::nullopt;
  return list;
}

}  // namespace orvo::games
