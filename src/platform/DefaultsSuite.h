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
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/plist/PropertyList.h"
#include "platform/plist/PropertyListEdit.h"
#include "platform/plist/PropertyListView.h"

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

  // Reading: the suite as stored when the handle was opened (or last synchronized), answered
  // from the file's bytes. The handles stay valid while this handle lives, until it is
  // synchronized.
  // The value under the key, of any type; none when absent.
  plist::Object objectForKey(std::string_view key) const;
  // The value when it is an array (a dictionary); none when absent or of another type.
  plist::Object arrayForKey(std::string_view key) const;
  plist::Object dictionaryForKey(std::string_view key) const;
  // A tree copy of the value under the key; none when absent.
  std::optional<plist::Value> valueForKey(std::string_view key) const;

  // Changing, in an update: the changes are kept beside the stored values and written out by
  // the update (or synchronize), which copies every stored value that did not change.
  // Replaces the value under the key with a whole new one.
  void setObject(std::string_view key, plist::Value value);
  // Replaces the value under the key with a list made from a stored one (plist::ListEdit).
  void setList(std::string_view key, plist::ListEdit list);
  // The changes to the dictionary stored under the key, to change some of its entries (or
  // theirs) where they stand; none when the key holds no dictionary or was set whole.
  plist::DictionaryEdit* editDictionary(std::string_view key);

  // Writes the changes out now; afterwards the handle reads what it wrote. False, with the
  // stored file unchanged, when it could not be written (a file over fs::kMaxFileSize is never
  // written).
  bool synchronize();

 private:
  // A suite file as read, and what it was found to be.
  struct Stored {
    enum class State { kMissing, kGood, kDamaged, kUnreadable };
    State state = State::kUnreadable;
    fs::FileContent content;
    std::vector<std::uint8_t> encoded;  // an XML suite's values in the binary format
    std::unique_ptr<plist::View> view;  // when good: over the binary bytes, a dictionary on top
  };

  DefaultsSuite(fs::FileName file, Stored stored, std::optional<mode_t> permissions,
                bool keepLastGood);
  static DefaultsSuite empty(fs::FileName file) {
    return DefaultsSuite(std::move(file), Stored{}, std::nullopt, false);
  }
  static Stored readStored(const fs::FileName& file, plist::View::Purpose purpose);
  static std::optional<DefaultsSuite> healUnderLock(const fs::FileName& file, const Stored& damaged,
                                                    HealReport& report);
  static void logHeal(const HealReport& report);
  plist::Object values() const { return view_ ? view_->root() : plist::Object(); }
  // Writes the changes out, leaving the handle as it was; what was written (in part the
  // handle's own bytes), none when it could not be.
  std::optional<plist::Written> writeBack() const;

  fs::FileName file_;
  // The file as read: what a write-back replaces, and keeps as its last good copy.
  std::vector<std::uint8_t> fileBytes_;
  std::vector<std::uint8_t> encoded_;  // an XML file's values as the view reads them
  std::unique_ptr<plist::View> view_;  // none for an empty suite
  plist::DictionaryEdit changes_;      // of the top-level dictionary
  std::optional<mode_t> permissions_;  // those of the file read; none when it was missing
  // Whether a write-back keeps the file it replaces: not for a new suite, nor for one just
  // healed, whose last good copy stays.
  bool keepLastGood_ = false;
  bool changed_ = false;
};

}  // namespace orvo

#endif  // ORVO_PLATFORM_DEFAULTSSUITE_H_
