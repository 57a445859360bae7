// The app group's two shared places, both named by one identifier: the defaults suite and
// the container directory.
#ifndef ORVO_STORE_APPGROUPSTORE_H_
#define ORVO_STORE_APPGROUPSTORE_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DefaultsSuite.h"
#include "platform/FileSystem.h"

namespace orvo::store {

inline constexpr std::string_view kAppGroupIdentifier = ORVO_APP_GROUP_IDENTIFIER;
// The player's identity, a JSON file in the container.
inline constexpr std::string_view kUserDataFile = "UserData";

// A fresh handle on the group's suite, for reading; none when it cannot be opened.
inline std::optional<const DefaultsSuite> openSuite() {
  return DefaultsSuite::open(kAppGroupIdentifier);
}

// A read-modify-write of the group's suite under its lock (DefaultsSuite::update); true only
// when `change` ran, returned true and what it set was stored.
inline bool updateSuite(const std::function<bool(DefaultsSuite&)>& change) {
  return DefaultsSuite::update(kAppGroupIdentifier, change);
}

// Where the group's container lies; whether it exists shows when a file in it is read.
inline std::optional<fs::FileName> container() {
  return fs::appGroupContainerPath(kAppGroupIdentifier);
}

// The text of the top-level "UserID" member of a JSON document in any Unicode encoding; none
// when the document is not valid JSON, nests past 512 levels or has no such text.
std::optional<std::string> topLevelUserID(std::vector<std::uint8_t> json);

}  // namespace orvo::store

#endif  // ORVO_STORE_APPGROUPSTORE_H_
