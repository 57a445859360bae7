// A named, persistent key-value suite of property-list values, shared by every game of the
// app group. It lives in the group's container as
// Library/Preferences/<name>.plist, a property list whose top level is a dictionary.
#ifndef ORVO_PLATFORM_DEFAULTSSUITE_H_
#define ORVO_PLATFORM_DEFAULTSSUITE_H_

#include <functional>
#include <optional>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/PropertyList.h"

namespace orvo {

class DefaultsSuite {
 public:
  // A fresh handle on the suite of the app group `name`. None when the group has no
  // container, or the suite file exists but cannot be read, does not parse or is not a
  // dictionary. A missing file is an empty suite.
  static std::optional<DefaultsSuite> open(std::string_view name);

  // Opens the suite under an exclusive lock that is held until `update` returns, so that a
  // read-modify-write inside it loses no change of another thread or process. False, with
  // `update` not called, when the suite cannot be opened or locked.
  static bool update(std::string_view name, const std::function<void(DefaultsSuite&)>& update);

  // The value under the key, of any type; none when absent.
  const plist::Value* objectForKey(std::string_view key) const;
  // The value when it is an array (a dictionary); none when absent or of another type.
  const plist::Array* arrayForKey(std::string_view key) const;
  const plist::Dictionary* dictionaryForKey(std::string_view key) const;

  // Replaces the value under the key and writes the suite out at once, atomically and
  // durably. False when the file could not be written: the stored file is then unchanged,
  // while this handle goes on showing the new value.
  bool setObject(std::string_view key, plist::Value value);
  bool setValue(std::string_view key, plist::Value value) { return setObject(key, std::move(value)); }

  // Every change is written out when it is made, so there is nothing left to flush.
  bool synchronize() const { return true; }

 private:
  DefaultsSuite(fs::Path container, fs::Path file, plist::Value root)
      : container_(std::move(container)), file_(std::move(file)), root_(std::move(root)) {}
  static std::optional<DefaultsSuite> openAt(const fs::Path& container, std::string_view name);
  const plist::Dictionary& values() const { return *root_.as<plist::Dictionary>(); }

  fs::Path container_;
  fs::Path file_;
  plist::Value root_;  // always a dictionary
};

}  // namespace orvo

#endif  // ORVO_PLATFORM_DEFAULTSSUITE_H_
