#include "platform/DefaultsSuite.h"

#include <string>

namespace orvo {
namespace {

const fs::Path kPreferencesFolder = fs::Path("Library") / "Preferences";

fs::Path suiteFile(const fs::Path& container, std::string_view name) {
  return container / kPreferencesFolder / (std::string(name) + ".plist");
}

}  // namespace

std::optional<DefaultsSuite> DefaultsSuite::open(std::string_view name) {
  const std::optional<fs::Path> container = fs::appGroupContainer(name);
  if (!container) return std::nullopt;
  return openAt(*container, name);
}

std::optional<DefaultsSuite> DefaultsSuite::openAt(const fs::Path& container, std::string_view name) {
  fs::Path file = suiteFile(container, name);
  if (!fs::isReachable(file)) return DefaultsSuite(container, std::move(file), plist::Dictionary());
  std::optional<std::vector<std::uint8_t>> bytes = fs::readWholeFile(file);
  if (!bytes) return std::nullopt;
  std::optional<plist::Value> root = plist::readPropertyList(*bytes);
  if (!root || !root->is<plist::Dictionary>()) return std::nullopt;
  return DefaultsSuite(container, std::move(file), std::move(*root));
}

bool DefaultsSuite::update(std::string_view name,
                           const std::function<void(DefaultsSuite&)>& update) {
  const std::optional<fs::Path> container = fs::appGroupContainer(name);
  if (!container || !fs::createDirectoriesBelow(*container, kPreferencesFolder)) return false;
  const std::optional<fs::ExclusiveLock> lock =
      fs::ExclusiveLock::acquire(suiteFile(*container, name).concat(".lock"));
  if (!lock) return false;
  std::optional<DefaultsSuite> suite = openAt(*container, name);
  if (!suite) return false;
  update(*suite);
  return true;
}

const plist::Value* DefaultsSuite::objectForKey(std::string_view key) const {
  return values().find(key);
}

const plist::Array* DefaultsSuite::arrayForKey(std::string_view key) const {
  const plist::Value* value = objectForKey(key);
  return value == nullptr ? nullptr : value->as<plist::Array>();
}

const plist::Dictionary* DefaultsSuite::dictionaryForKey(std::string_view key) const {
  const plist::Value* value = objectForKey(key);
  return value == nullptr ? nullptr : value->as<plist::Dictionary>();
}

bool DefaultsSuite::setObject(std::string_view key, plist::Value value) {
  root_.as<plist::Dictionary>()->set(std::string(key), std::move(value));
  const std::optional<std::vector<std::uint8_t>> bytes = plist::writeBinaryPropertyList(root_);
  return bytes && fs::createDirectoriesBelow(container_, kPreferencesFolder) &&
         fs::replaceFileAtomically(file_, *bytes);
}

}  // namespace orvo
