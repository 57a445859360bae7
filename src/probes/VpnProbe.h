// Whether a tunnel-type network interface is active, judged from the system proxy settings.
#ifndef ORVO_PROBES_VPNPROBE_H_
#define ORVO_PROBES_VPNPROBE_H_

#include <array>
#include <optional>
#include <string_view>

#include "platform/plist/PropertyList.h"

namespace orvo::probes {

// Texts that mark a tunnel interface in an interface name, tested in this order.
inline constexpr std::array<std::string_view, 5> kTunnelMarkers = {"tap", "tun", "ppp", "ipsec",
                                                                   "utun"};

// True when a key of the settings' scoped dictionary (interface name to its own settings)
// contains a tunnel marker, case-sensitively and anywhere in the name. False when there are no
// settings, no scoped entry, a scoped entry that is not a dictionary, or no such key.
bool namesTunnelInterface(const std::optional<plist::Dictionary>& proxySettings);

// The same over the system's proxy settings now.
bool isVPNEnabled();

}  // namespace orvo::probes

#endif  // ORVO_PROBES_VPNPROBE_H_
