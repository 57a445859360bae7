#include "platform/DefaultsSuite.h"

#include <errno.h>

#include <algorithm>
#include <string>

#include "platform/SystemLog.h"

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

fs::FileName DefaultsSuite::lastGoodCopyOf(const fs::FileName& suiteFile) {
  return suiteFile + ".previous";
}

DefaultsSuite::Stored DefaultsSuite::readStored(const fs::FileName& file) {
  Stored stored;
  stored.content = fs::readFile(file);
  switch (stored.content.status) {
    case fs::FileContent::Status::kMissing:
      stored.state = Stored::State::kMissing;
      break;
    case fs::FileContent::Status::kFailed:
      stored.state = Stored::State::kUnreadable;
      break;
    case fs::FileContent::Status::kTooLarge:
      stored.state = Stored::State::kDamaged;
      break;
    case fs::FileContent::Status::kRead:
      std::optional<plist::Value> root = plist::readPropertyList(stored.content.bytes);
      const bool good = root && root->is<plist::Dictionary>();
      stored.state = good ? Stored::State::kGood : Stored::State::kDamaged;
      if (good) stored.root = std::move(*root);
  }
  return stored;
}

std::optional<const DefaultsSuite> DefaultsSuite::open(std::string_view name) {
  const std::optional<fs::FileName> container = fs::appGroupContainerPath(name);
  if (!container) return std::nullopt;
  fs::FileName file = suiteFile(*container, name);
  Stored stored = readStored(file);
  // No file is an empty suite; no container is no suite at all.
  if (stored.state == Stored::State::kMissing) {
    return fs::isDirectory(*container) ? std::optional<const DefaultsSuite>(empty(std::move(file)))
                                       : std::nullopt;
  }
  if (stored.state == Stored::State::kDamaged) stored = readStored(lastGoodCopyOf(file));
  if (stored.state != Stored::State::kGood) return std::nullopt;
  return DefaultsSuite(std::move(file), std::move(stored.root), std::nullopt, {});
}

bool DefaultsSuite::update(std::string_view name,
                           const std::function<bool(DefaultsSuite&)>& change) {
  const std::optional<fs::FileName> container = fs::appGroupContainerPath(name);
  if (!container) return false;
  const fs::FileName file = suiteFile(*container, name);
  const fs::FileName lockFile = lockFileOf(file);
  std::optional<fs::ExclusiveLock> lock = [&] {
    std::optional<fs::ExclusiveLock> first = fs::ExclusiveLock::acquire(lockFile, kLockPatience);
    // The folder of the suite is made on the first update, in a container that exists.
    if (first || errno != ENOENT || !fs::isDirectory(*container) ||
        !fs::createDirectoriesBelow(*container, kPreferencesFolder)) {
      return first;
    }
    return fs::ExclusiveLock::acquire(lockFile, kLockPatience);
  }();
  if (!lock) return false;
  HealReport healed{Heal::kNotDamaged, {}, false};
  std::optional<DefaultsSuite> suite;
  Stored stored = readStored(file);
  switch (stored.state) {
    case Stored::State::kGood:
      suite = DefaultsSuite(file, std::move(stored.root), stored.content.permissions,
                            std::move(stored.content.bytes));
      break;
    case Stored::State::kMissing:
      if (fs::isDirectory(*container)) suite = empty(file);
      break;
    case Stored::State::kDamaged:
      suite = healUnderLock(file, stored, healed);
      break;
    case Stored::State::kUnreadable:
      break;
  }
  const bool done = suite && change(*suite) && suite->synchronize();
  lock.reset();  // the log may block on the host: never while other games wait for the lock
  if (healed.outcome == Heal::kHealed) logHeal(healed);
  return done;
}

DefaultsSuite::HealReport DefaultsSuite::heal(std::string_view name) {
  HealReport report{Heal::kFailed, {}, false};
  const std::optional<fs::FileName> file = fileOf(name);
  if (!file) return report;
  std::optional<fs::ExclusiveLock> lock =
      fs::ExclusiveLock::acquire(lockFileOf(*file), kLockPatience);
  if (!lock) {
    // No folder yet means no suite yet.
    if (errno == ENOENT && readStored(*file).state == Stored::State::kMissing) {
      report.outcome = Heal::kNotDamaged;
    }
    return report;
  }
  const Stored stored = readStored(*file);
  switch (stored.state) {
    case Stored::State::kGood:
    case Stored::State::kMissing:
      report.outcome = Heal::kNotDamaged;
      break;
    case Stored::State::kUnreadable:
      report.outcome = Heal::kUnreadable;
      break;
    case Stored::State::kDamaged:
      healUnderLock(*file, stored, report);
  }
  return report;
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
  std::optional<std::vector<std::uint8_t>> bytes = plist::writeBinaryPropertyList(root_);
  if (!bytes) return false;
  std::optional<fs::KeptCopy> keep;
  if (!replaced_.empty()) keep = fs::KeptCopy{lastGoodCopyOf(file_), replaced_};
  if (!fs::replaceFileAtomically(file_, *bytes, permissions_, keep)) return false;
  replaced_ = std::move(*bytes);
  changed_ = false;
  return true;
}

}  // namespace orvo
