#include "platform/DefaultsSuite.h"

#include <string>

namespace orvo {
namespace {

const fs::Path kPreferencesFolder = fs::Path("Library") / "Preferences";

fs::Path suiteFile(const fs::Path& container, std::string_view name) {
  return container / kPreferencesFolder / (std::string(name) + ".plist");
}

}  // namespace

std::optional<const DefaultsSuite> DefaultsSuite::open(std::string_view name) {
  const std::optional<fs::Path> container = fs::appGroupContainer(name);
  if (!container) return std::nullopt;
  return read(suiteFile(*container, name));
}

std::optional<DefaultsSuite> DefaultsSuite::read(const fs::Path& file) {
  fs::FileContent content = fs::readFile(file);
  switch (content.status) {
    case fs::FileContent::Status::kMissing:
      return DefaultsSuite(file, plist::Dictionary(), std::nullopt);
    case fs::FileContent::Status::kFailed:
      return std::nullopt;
    case fs::FileContent::Status::kRead:
      break;
  }
  std::optional<plist::Value> root = plist::readPropertyList(content.bytes);
  if (!root || !root->is<plist::Dictionary>()) return std::nullopt;
  return DefaultsSuite(file, std::move(*root), content.permissions);
}

bool DefaultsSuite::update(std::string_view name,
                           const std::function<bool(DefaultsSuite&)>& change) {
  const std::optional<fs::Path> container = fs::appGroupContainer(name);
  if (!container || !fs::createDirectoriesBelow(*container, kPreferencesFolder)) return false;
  const fs::Path file = suiteFile(*container, name);
  const std::optional<fs::ExclusiveLock> lock =
      fs::ExclusiveLock::acquire(fs::Path(file).concat(".lock"), kLockPatience);
  if (!lock) return false;
  std::optional<DefaultsSuite> suite = read(file);
  return suite && change(*suite) && suite->synchronize();
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

plist::Value* DefaultsSuite::editObject(std::string_view key) {
  plist::Value* value = root_.as<plist::Dictionary>()->find(key);
  changed_ = changed_ || value != nullptr;
  return value;
}

void DefaultsSuite::setObject(std::string_view key, plist::Value value) {
  root_.as<plist::Dictionary>()->set(std::string(key), std::move(value));
  changed_ = true;
}

bool DefaultsSuite::synchronize() {
  if (!changed_) return true;
  const std::optional<std::vector<std::uint8_t>> bytes = plist::writeBinaryPropertyList(root_);
  if (!bytes || !fs::replaceFileAtomically(file_, *bytes, permissions_)) return false;
  changed_ = false;
  return true;
}

}  // namespace orvo
