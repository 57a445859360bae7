// Which network links of the caller's network namespace are VPN tunnels, from rtnetlink.
#ifndef ORVO_PLATFORM_TUNNELLINKS_H_
#define ORVO_PLATFORM_TUNNELLINKS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvo::network {

enum class DumpProgress { kMore, kDone, kFailed };

// Reads one datagram of the kernel's answer to an RTM_GETLINK dump request numbered `sequence`
// and appends to `tunnels` the name of every link in it that is up and running (IFF_UP and
// IFF_RUNNING) and a tunnel: of kind (IFLA_INFO_KIND) tun, wireguard, xfrm, vti, vti6, gre,
// ip6gre, ipip, ip6tnl or sit, or of link type ARPHRD_PPP. kDone at the end of the dump;
// kFailed for an error answer, or for any message or attribute whose length does not fit, a
// link without a well-formed name. Messages of other sequence numbers are skipped.
DumpProgress readLinkDump(std::span<const std::uint8_t> datagram, std::uint32_t sequence,
                          std::vector<std::string>& tunnels);

// The names of the links that are up, running and tunnels, asked afresh; none when netlink
// cannot be asked or does not answer in time.
std::optional<std::vector<std::string>> runningTunnelLinks();

}  // namespace orvo::network

#endif  // ORVO_PLATFORM_TUNNELLINKS_H_
