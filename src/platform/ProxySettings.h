// The system proxy settings, as far as the device probes read them.
#ifndef ORVO_PLATFORM_PROXYSETTINGS_H_
#define ORVO_PLATFORM_PROXYSETTINGS_H_

#include <optional>
#include <string_view>

#include "platform/PropertyList.h"

namespace orvo::network {

// The entry of the settings that maps network interface names to their own settings.
inline constexpr std::string_view kScopedSettingsKey = "__SCOPED__";

// A fresh copy of the settings: kScopedSettingsKey maps the name of every network interface
// that is up to an empty dictionary, in the order the system lists them. None when the
// interfaces cannot be listed.
std::optional<plist::Dictionary> copySystemProxySettings();

}  // namespace orvo::network

#endif  // ORVO_PLATFORM_PROXYSETTINGS_H_
