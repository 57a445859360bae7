// A named, persistent key-value suite of property-list values, shared by every game of the
// app group. It lives in the group's container as
// Library/Preferences/<name>.plist, a property list whose top level is a dictionary.
#ifndef ORVO_PLATFORM_DEFAULTSSUITE_H_
#define ORVO_PLATFORM_DEFAULTSSUITE_H_

#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/PropertyList.h"

namespace orvo {

class DefaultsSuite {
 public:
  // How long an update waits for another game's update to finish: far longer than any update
  // holds the lock, far shorter than a game may stall its player.
  static constexpr std::chrono::milliseconds kLockPatience{5000};

  // Where the suite of the app group `name` is stored; none when the group has no container
  // path. Every update of it holds an exclusive lock on the file beside it, lockFileOf(file),
  // which is never deleted.
  static std::optional<fs::FileName> fileOf(std::string_view name);
  static fs::FileName lockFileOf(const fs::FileName& suiteFile);

  // A fresh handle on the suite of the app group `name`, for reading. None when the group has
  // no container, or the suite file cannot be read (any failure but "no such file"), does not
  // parse or is not a dictionary. A missing file is an empty suite.
  static std::optional<const DefaultsSuite> open(std::string_view name);

  // A read-modify-write: opens the suite under an exclusive lock, runs `change` on it and,
  // when `change` returns true, writes what it set out (atomically and durably) before the
  // lock is released, so that no change of another thread or process is lost. True only when
  // all of that happened. False, with `change` not run and nothing written, when the suite
  // cannot be opened, or the lock cannot be had within kLockPatience; false, with nothing
  // written, when `change` returns false.
  static bool update(std::string_view name, const std::function<bool(DefaultsSuite&)>& change);

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
  DefaultsSuite(fs::FileName file, plist::Value root, std::optional<mode_t> permissions)
      : file_(std::move(file)), root_(std::move(root)), permissions_(permissions) {}
  static std::optional<DefaultsSuite> read(const fs::FileName& container, const fs::FileName& file);
  const plist::Dictionary& values() const { return *root_.as<plist::Dictionary>(); }

  fs::FileName file_;
  plist::Value root_;                  // always a dictionary
  std::optional<mode_t> permissions_;  // those of the file read; none when it was missing
  bool changed_ = false;
};

}  // namespace orvo

#endif  // ORVO_PLATFORM_DEFAULTSSUITE_H_
