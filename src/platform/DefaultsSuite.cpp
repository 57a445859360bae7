#include "platform/DefaultsSuite.h"

#include <errno.h>

#include <string>

namespace orvo {
namespace {

constexpr std::string_view kPreferencesFolder = "Library/Preferences";

fs::FileName suiteFile(const fs::FileName& container, std::string_view name) {
  return fs::FileName(container)
      .append("/")
      .append(kPreferencesFolder)
      .append("/")
      .append(name)
      .append(".plist");
}

}  // namespace

std::optional<fs::FileName> DefaultsSuite::fileOf(std::string_view name) {
  const std::optional<fs::FileName> container = fs::appGroupContainerPath(name);
  if (!container) return std::nullopt;
  return suiteFile(*container, name);
}

fs::FileName DefaultsSuite::lockFileOf(const fs::FileName& suiteFile) {
  return suiteFile + ".lock";
}

std::optional<const DefaultsSuite> DefaultsSuite::open(std::string_view name) {
  const std::optional<fs::FileName> container = fs::appGroupContainerPath(name);
  if (!container) return std::nullopt;
  return read(*container, suiteFile(*container, name));
}

std::optional<DefaultsSuite> DefaultsSuite::read(const fs::FileName& container,
                                                 const fs::FileName& file) {
  fs::FileContent content = fs::readFile(file);
  switch (content.status) {
    case fs::FileContent::Status::kMissing:
      // No file is an empty suite; no container is no suite at all.
      if (!fs::isDirectory(container)) return std::nullopt;
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
  const std::optional<fs::FileName> container = fs::appGroupContainerPath(name);
  if (!container) return false;
  const fs::FileName file = suiteFile(*container, name);
  const fs::FileName lockFile = lockFileOf(file);
  const std::optional<fs::ExclusiveLock> lock = [&]() -> std::optional<fs::ExclusiveLock> {
    std::optional<fs::ExclusiveLock> first = fs::ExclusiveLock::acquire(lockFile, kLockPatience);
    // The folder of the suite is made on the first update, in a container that exists.
    if (first || errno != ENOENT || !fs::isDirectory(*container) ||
        !fs::createDirectoriesBelow(*container, kPreferencesFolder)) {
      return first;
    }
    return fs::ExclusiveLock::acquire(lockFile, kLockPatience);
  }();
  if (!lock) return false;
  std::optional<DefaultsSuite> suite = read(*container, file);
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
