// A named, persistent key-value suite of property-list values, shared by every game of the
// app group. It lives in the group's container as
// Library/Preferences/<name>.plist, a property list whose top level is a dictionary.
//
// The suite heals itself. Every write-back keeps the version it replaced as the last good copy,
// "<suite>.previous". A suite that was read whole but is damaged (it does not parse, its top
// level is not a dictionary, or it is over fs::kMaxFileSize) is answered from that copy by
// readers, and the next writer keeps the damaged bytes as "<suite>.damaged-<UTC stamp>" (the
// three newest are kept), puts the last good copy (or an empty suite) in its place, and goes
// on. A suite that cannot be read at all (a permission, an I/O error) is never touched.
#ifndef ORVO_PLATFORM_DEFAULTSSUITE_H_
#define ORVO_PLATFORM_DEFAULTSSUITE_H_

#include <chrono>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/PropertyList.h"

namespace orvo {

class DefaultsSuite {
 public:
  // How long an update waits for another game's update to finish: far longer than any update
  // holds the lock, far shorter than a game may stall its player.
  static constexpr std::chrono::milliseconds kLockPatience{5000};
  // A damaged suite modified this recently (either way) is left alone: a host that does not
  // take the lock may be writing it.
  static constexpr std::chrono::seconds kFreshness{2};
  static constexpr std::size_t kKeptDamagedCopies = 3;

  // Where the suite of the app group `name` is stored; none when the group has no container
  // path. Every update of it holds an exclusive lock on the file beside it, lockFileOf(file),
  // which is never deleted.
  static std::optional<fs::FileName> fileOf(std::string_view name);
  static fs::FileName lockFileOf(const fs::FileName& suiteFile);
  static fs::FileName lastGoodCopyOf(const fs::FileName& suiteFile);
  // The damaged copies kept beside the suite, oldest first; none when the folder cannot be read.
  static std::optional<std::vector<fs::FileName>> damagedCopiesOf(const fs::FileName& suiteFile);

  // A fresh handle on the suite of the app group `name`, for reading. None when the group has
  // no container or the suite file cannot be read (any failure but "no such file"); a damaged
  // suite is read from its last good copy, none when that is missing or damaged too. A missing
  // file is an empty suite.
  static std::optional<const DefaultsSuite> open(std::string_view name);

  // A read-modify-write: opens the suite under an exclusive lock, heals it when it is damaged,
  // runs `change` on it and, when `change` returns true, writes what it set out (atomically and
  // durably) before the lock is released, so that no change of another thread or process is
  // lost. True only when all of that happened. False, with `change` not run and nothing
  // written, when the suite cannot be read or healed (a damaged suite that is fresh), or the
  // lock cannot be had within kLockPatience; false, with nothing written but a heal, when
  // `change` returns false. A heal is logged once the lock is released.
  static bool update(std::string_view name, const std::function<bool(DefaultsSuite&)>& change);

  // What a heal by hand found and did.
  enum class Heal {
    kHealed,      // the damaged suite was kept aside and replaced
    kNotDamaged,  // the suite reads well or is missing: nothing to do
    kUnreadable,  // it cannot be read at all, which no heal mends
    kFresh,       // it is damaged but was modified too recently
    kFailed,      // no lock, or a step of the heal failed
  };
  struct HealReport {
    Heal outcome;
    fs::FileName damagedCopy;  // when healed
    bool restored = false;     // from the last good copy, else an empty suite
  };
  // The heal an update does, without an update, under the same lock.
  static HealReport heal(std::string_view name);

  // The value under the key, of any type; none when absent.
  const plist::Value* objectForKey(std::string_view key) const;
  // The value when it is an array (a dictionary); none when absent or of another type.
  const plist::Array* arrayForKey(std::string_view key) const;
  const plist::Dictionary* dictionaryForKey(std::string_view key) const;

  // The value under the key, to change in place in this handle: an update owns its one copy of
  // the suite and need not copy a value to change it. The update writes it out. None when absent.
  plist::Value* editObject(std::string_view key);

  // Replace the value under the key, in this handle; the update writes it out.
  void setObject(std::string_view key, plist::Value value);
  void setValue(std::string_view key, plist::Value value) { setObject(key, std::move(value)); }

  // Writes the values set so far out now. False, with the stored file unchanged, when it could
  // not be written (a file over fs::kMaxFileSize is never written).
  bool synchronize();

 private:
  // A suite file as read, and what it was found to be.
  struct Stored {
    enum class State { kMissing, kGood, kDamaged, kUnreadable };
    State state = State::kUnreadable;
    fs::FileContent content;
    plist::Value root;  // when good: a dictionary
  };

  DefaultsSuite(fs::FileName file, plist::Value root, std::optional<mode_t> permissions,
                std::vector<std::uint8_t> replaced)
      : file_(std::move(file)),
        root_(std::move(root)),
        permissions_(permissions),
        replaced_(std::move(replaced)) {}
  static DefaultsSuite empty(fs::FileName file) {
    return DefaultsSuite(std::move(file), plist::Dictionary(), std::nullopt, {});
  }
  static Stored readStored(const fs::FileName& file);
  static std::optional<DefaultsSuite> healUnderLock(const fs::FileName& file, const Stored& damaged,
                                                    HealReport& report);
  static void logHeal(const HealReport& report);
  const plist::Dictionary& values() const { return *root_.as<plist::Dictionary>(); }

  fs::FileName file_;
  plist::Value root_;                  // always a dictionary
  std::optional<mode_t> permissions_;  // those of the file read; none when it was missing
  // The bytes of the file that a write-back replaces, kept as its last good copy; empty when
  // there is none to keep (a new suite, or one just healed, whose last good copy stays).
  std::vector<std::uint8_t> replaced_;
  bool changed_ = false;
};

}  // namespace orvo

#endif  // ORVO_PLATFORM_DEFAULTSSUITE_H_
