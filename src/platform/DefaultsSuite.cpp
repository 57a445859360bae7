#include "platform/DefaultsSuite.h"

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

DefaultsSuite::DefaultsSuite(fs::FileName file, Stored stored, std::optional<mode_t> permissions,
                             bool keepLastGood)
    : file_(std::move(file)),
      fileBytes_(std::move(stored.content.bytes)),
      encoded_(std::move(stored.encoded)),
      view_(std::move(stored.view)),
      changes_(values()),
      permissions_(permissions),
      keepLastGood_(keepLastGood) {}

// A binary suite is read in place. An XML one is read into a tree and written in the binary
// format, which the view then reads: every suite is answered (and updated) the same way, and
// the first write-back makes it binary.
DefaultsSuite::Stored DefaultsSuite::readStored(const fs::FileName& file,
                                                plist::View::Purpose purpose) {
  Stored stored;
  stored.content = fs::readFile(file);
  switch (stored.content.status) {
    case fs::FileContent::Status::kMissing:
      stored.state = Stored::State::kMissing;
      return stored;
    case fs::FileContent::Status::kFailed:
      stored.state = Stored::State::kUnreadable;
      return stored;
    case fs::FileContent::Status::kTooLarge:
      stored.state = Stored::State::kDamaged;
      return stored;
    case fs::FileContent::Status::kRead:
      break;
  }
  std::span<const std::uint8_t> binary = stored.content.bytes;
  if (!binary.empty() && binary[0] != 'b') {
    const std::optional<plist::Value> root = plist::readXmlPropertyList(binary);
    std::optional<std::vector<std::uint8_t>> encoded;
    if (root && root->is<plist::Dictionary>()) encoded = plist::writeBinaryPropertyList(*root);
    stored.encoded = std::move(encoded).value_or(std::vector<std::uint8_t>());
    binary = stored.encoded;
  }
  std::optional<plist::View> view = plist::View::read(binary, purpose);
  const bool good = view && view->root().is(plist::Kind::kDictionary);
  stored.state = good ? Stored::State::kGood : Stored::State::kDamaged;
  if (good) stored.view = std::make_unique<plist::View>(std::move(*view));
  return stored;
}

std::optional<const DefaultsSuite> DefaultsSuite::open(std::string_view name) {
  const std::optional<fs::FileName> container = fs::appGroupContainerPath(name);
  if (!container) return std::nullopt;
  fs::FileName file = suiteFile(*container, name);
  constexpr plist::View::Purpose kRead = plist::View::Purpose::kRead;
  Stored stored = readStored(file, kRead);
  // No file is an empty suite; no container, or one that cannot be examined, is no suite.
  if (stored.state == Stored::State::kMissing) {
    return fs::isDirectory(*container).value_or(false)
               ? std::optional<const DefaultsSuite>(empty(std::move(file)))
               : std::nullopt;
  }
  if (stored.state == Stored::State::kDamaged) stored = readStored(lastGoodCopyOf(file), kRead);
  if (stored.state != Stored::State::kGood) return std::nullopt;
  return DefaultsSuite(std::move(file), std::move(stored), std::nullopt, false);
}

bool DefaultsSuite::update(std::string_view name,
                           const std::function<bool(DefaultsSuite&)>& change) {
  const std::optional<fs::FileName> container = fs::appGroupContainerPath(name);
  if (!container) return false;
  const fs::FileName file = suiteFile(*container, name);
  const fs::FileName lockFile = lockFileOf(file);
  std::optional<fs::ExclusiveLock> lock = [&] {
    fs::LockAttempt first = fs::ExclusiveLock::acquire(lockFile, kLockPatience);
    // The folder of the suite is made on the first update, in a container that exists.
    if (first.lock || first.failure != fs::LockFailure::kNoFolder ||
        !fs::isDirectory(*container).value_or(false) ||
        !fs::createDirectoriesBelow(*container, kPreferencesFolder)) {
      return std::move(first.lock);
    }
    return fs::ExclusiveLock::acquire(lockFile, kLockPatience).lock;
  }();
  if (!lock) return false;
  HealReport healed{Heal::kNotDamaged, {}, false};
  std::optional<DefaultsSuite> suite;
  Stored stored = readStored(file, plist::View::Purpose::kUpdate);
  switch (stored.state) {
    case Stored::State::kGood: {
      const mode_t permissions = stored.content.permissions;
      suite.emplace(DefaultsSuite(file, std::move(stored), permissions, true));
      break;
    }
    case Stored::State::kMissing:
      if (fs::isDirectory(*container).value_or(false)) suite = empty(file);
      break;
    case Stored::State::kDamaged:
      suite = healUnderLock(file, stored, healed);
      break;
    case Stored::State::kUnreadable:
      break;
  }
  // The handle is dropped after the write: it need not read what it wrote, as synchronize does.
  const bool done = suite && change(*suite) && (!suite->changed_ || suite->writeBack());
  lock.reset();  // the log may block on the host: never while other games wait for the lock
  if (healed.outcome == Heal::kHealed) logHeal(healed);
  return done;
}

DefaultsSuite::HealReport DefaultsSuite::heal(std::string_view name) {
  HealReport report{Heal::kFailed, {}, false};
  const std::optional<fs::FileName> file = fileOf(name);
  if (!file) return report;
  const fs::LockAttempt attempt = fs::ExclusiveLock::acquire(lockFileOf(*file), kLockPatience);
  if (!attempt.lock) {
    // No folder yet means no suite yet.
    if (attempt.failure == fs::LockFailure::kNoFolder &&
        readStored(*file, plist::View::Purpose::kRead).state == Stored::State::kMissing) {
      report.outcome = Heal::kNotDamaged;
    }
    return report;
  }
  const Stored stored = readStored(*file, plist::View::Purpose::kRead);
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

plist::Object DefaultsSuite::objectForKey(std::string_view key) const { return values().find(key); }

plist::Object DefaultsSuite::arrayForKey(std::string_view key) const {
  const plist::Object value = objectForKey(key);
  return value.is(plist::Kind::kArray) ? value : plist::Object();
}

plist::Object DefaultsSuite::dictionaryForKey(std::string_view key) const {
  const plist::Object value = objectForKey(key);
  return value.is(plist::Kind::kDictionary) ? value : plist::Object();
}

std::optional<plist::Value> DefaultsSuite::valueForKey(std::string_view key) const {
  const plist::Object value = objectForKey(key);
  return value ? std::optional<plist::Value>(value.toValue()) : std::nullopt;
}

void DefaultsSuite::setObject(std::string_view key, plist::Value value) {
  changes_.set(key, std::move(value));
  changed_ = true;
}

void DefaultsSuite::setList(std::string_view key, plist::ListEdit list) {
  changes_.set(key, std::move(list));
  changed_ = true;
}

plist::DictionaryEdit* DefaultsSuite::editDictionary(std::string_view key) {
  plist::DictionaryEdit* edit = changes_.edit(key);
  changed_ = changed_ || edit != nullptr;
  return edit;
}

std::optional<plist::Written> DefaultsSuite::writeBack() const {
  std::optional<plist::Written> written = plist::writeBinaryPropertyList(view_.get(), changes_);
  std::optional<fs::KeptCopy> keep;
  if (keepLastGood_) keep = fs::KeptCopy{lastGoodCopyOf(file_), fileBytes_};
  if (!written || !fs::replaceFileAtomically(file_, written->pieces(), permissions_, keep)) {
    return std::nullopt;
  }
  return written;
}

bool DefaultsSuite::synchronize() {
  if (!changed_) return true;
  // Joined and read before it is written, as the handle goes on to read it.
  std::optional<plist::Written> written = plist::writeBinaryPropertyList(view_.get(), changes_);
  std::vector<std::uint8_t> bytes =
      written ? std::move(*written).bytes() : std::vector<std::uint8_t>();
  std::optional<plist::View> view = plist::View::read(bytes, plist::View::Purpose::kUpdate);
  std::optional<fs::KeptCopy> keep;
  if (keepLastGood_) keep = fs::KeptCopy{lastGoodCopyOf(file_), fileBytes_};
  if (!view || !fs::replaceFileAtomically(file_, bytes, permissions_, keep)) return false;
  auto kept = std::make_unique<plist::View>(std::move(*view));  // over `bytes`, which moves whole
  fileBytes_ = std::move(bytes);
  encoded_.clear();
  view_ = std::move(kept);
  changes_ = plist::DictionaryEdit(view_->root());
  keepLastGood_ = true;
  changed_ = false;
  return true;
}

}  // namespace orvo
