#include "probes/VpnProbe.h"

#include <algorithm>

#include "platform/ProxySettings.h"

namespace orvo::probes {

bool namesTunnelInterface(const std::optional<plist::Dictionary>& proxySettings) {
  if (!proxySettings) return false;
  const plist::Value* scoped = proxySettings->find(network::kScopedSettingsKey);
  const plist::Dictionary* interfaces = scoped ? scoped->as<plist::Dictionary>() : nullptr;
  if (interfaces == nullptr) return false;
  return std::any_of(interfaces->begin(), interfaces->end(), [](const auto& entry) {
    const std::string_view name = entry.first;
    return std::any_of(kTunnelMarkers.begin(), kTunnelMarkers.end(), [&](std::string_view marker) {
      return name.find(marker) != std::string_view::npos;
    });
  });
}

bool isVPNEnabled() { return namesTunnelInterface(network::copySystemProxySettings()); }

}  // namespace orvo::probes
