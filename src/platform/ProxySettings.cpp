#include "platform/ProxySettings.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <memory>
#include <string>

#include "platform/TunnelLinks.h"

namespace orvo::network {
namespace {

struct InterfaceListDeleter {
  void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};
using InterfaceList = std::unique_ptr<ifaddrs, InterfaceListDeleter>;

}  // namespace

std::optional<plist::Dictionary> copySystemProxySettings() {
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0) return std::nullopt;
  const InterfaceList interfaces(raw);
  // An interface appears once per address family; set() keeps the first position.
  plist::Dictionary scoped;
  for (const ifaddrs* i = interfaces.get(); i != nullptr; i = i->ifa_next) {
    if (i->ifa_name == nullptr || (i->ifa_flags & IFF_UP) == 0) continue;
    scoped.set(std::string(i->ifa_name), plist::Dictionary());
  }
  if (const std::optional<std::vector<std::string>> tunnels = runningTunnelLinks()) {
    for (const std::string& name : *tunnels) {
      scoped.set(std::string(kTunnelPrefix) + name, plist::Dictionary());
    }
  }
  plist::Dictionary settings;
  settings.set(std::string(kScopedSettingsKey), std::move(scoped));
  return settings;
}

}  // namespace orvo::network
