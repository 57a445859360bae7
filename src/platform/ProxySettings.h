// The system proxy settings, as far as the device probes read them.
#ifndef ORVO_PLATFORM_PROXYSETTINGS_H_
#define ORVO_PLATFORM_PROXYSETTINGS_H_

#include <optional>
#include <string_view>

#include "platform/plist/PropertyList.h"

namespace orvo::network {

// The entry of the settings that maps network interface names to their own settings.
inline constexpr std::string_view kScopedSettingsKey = "__SCOPED__";

// Prefixed to the name of a running tunnel, so that its key holds "utun" whatever the name, as
// every VPN interface's name does on the home platform. No interface name holds a ':', so such
// a key is never also an interface's own name.
inline constexpr std::string_view kTunnelPrefix = "utun:";

// A fresh copy of the settings: kScopedSettingsKey maps to empty dictionaries the name of every
// network interface that is up (IFF_UP), in the order the system lists them, and then
// kTunnelPrefix + the name of every interface that is up, running (IFF_RUNNING, it has carrier)
// and a tunnel (see runningTunnelLinks). None when the interfaces cannot be listed; when only
// the tunnels cannot be asked for, the names alone.
std::optional<plist::Dictionary> copySystemProxySettings();

}  // namespace orvo::network

#endif  // ORVO_PLATFORM_PROXYSETTINGS_H_
