// The player-level entries of the store: identity, referral code and the event log. A failure
// is the no-value result; running out of memory throws, and the caller turns that into the
// same result.
#ifndef ORVO_STORE_PLAYERSTORE_H_
#define ORVO_STORE_PLAYERSTORE_H_

#include <optional>
#include <string>
#include <string_view>

namespace orvo::store {

inline constexpr std::string_view kUserIDKey = "UserID";  // in UserData
inline constexpr std::string_view kRefCodeKey = "refCode";
inline constexpr std::string_view kEventsDatesKey = "eventsDates";

// The "UserID" text of the container's UserData.
std::optional<std::string> userID();
// The suite's referral code, when it is text.
std::optional<std::string> refCode();
// Appends a finite time to the suite's event log; no effect otherwise.
void setEventDate(double eventDate);

}  // namespace orvo::store

#endif  // ORVO_STORE_PLAYERSTORE_H_
