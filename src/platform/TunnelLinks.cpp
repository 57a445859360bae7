#include "platform/TunnelLinks.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

#include "platform/Process.h"

namespace orvo::network {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::array<std::string_view, 10> kTunnelKinds = {
    "tun", "wireguard", "xfrm", "vti", "vti6", "gre", "ip6gre", "ipip", "ip6tnl", "sit"};
// The kernel answers a local dump at once; this only bounds a wait that should never happen.
constexpr std::chrono::milliseconds kPatience{1000};
// A dump datagram is at most 32 KiB; a larger one is refused, never read in part.
constexpr std::size_t kDatagramSize = std::size_t{64} << 10;
constexpr std::uint32_t kSequence = 1;  // each call has a socket of its own

constexpr std::size_t align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// A copy of the struct at the start of `bytes`, which the caller checked is long enough: the
// buffer need not be aligned for it.
template <typename T>
T load(Bytes bytes) {
  T value;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

// Calls visit(type, payload) for each attribute; false when a length does not fit or a visit
// says its payload is malformed.
template <typename Visit>
bool forEachAttribute(Bytes bytes, Visit visit) {
  while (bytes.size() >= sizeof(nlattr)) {
    const auto header = load<nlattr>(bytes);
    if (header.nla_len < sizeof(nlattr) || header.nla_len > bytes.size()) return false;
    if (!visit(header.nla_type & NLA_TYPE_MASK,
               bytes.subspan(sizeof(nlattr), header.nla_len - sizeof(nlattr)))) {
      return false;
    }
    bytes = bytes.subspan(std::min(align4(header.nla_len), bytes.size()));
  }
  return bytes.empty();
}

// A NUL-terminated string attribute, without its NUL; none when it has none.
std::optional<std::string_view> cString(Bytes payload) {
  const auto nul = std::find(payload.begin(), payload.end(), std::uint8_t{0});
  if (nul == payload.end()) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(payload.data()),
                          static_cast<std::size_t>(nul - payload.begin()));
}

// One RTM_NEWLINK message; false when malformed.
bool readLink(Bytes body, std::vector<std::string>& tunnels) {
  if (body.size() < align4(sizeof(ifinfomsg))) return false;
  const auto link = load<ifinfomsg>(body);
  std::optional<std::string_view> name;
  std::string_view kind;
  const bool wellFormed =
      forEachAttribute(body.subspan(align4(sizeof(ifinfomsg))), [&](unsigned type, Bytes value) {
        if (type == IFLA_IFNAME) {
          name = cString(value);
          return name && !name->empty() && name->size() < IFNAMSIZ;
        }
        if (type != IFLA_LINKINFO) return true;
        return forEachAttribute(value, [&](unsigned infoType, Bytes info) {
          if (infoType == IFLA_INFO_KIND) kind = cString(info).value_or("");
          return true;
        });
      });
  if (!wellFormed || !name) return false;
  constexpr unsigned kUpAndRunning = IFF_UP | IFF_RUNNING;
  // A link type alone says too little: a modem in raw-IP mode is ARPHRD_NONE like a TUN device.
  const bool tunnel =
      link.ifi_type == ARPHRD_PPP ||
      std::find(kTunnelKinds.begin(), kTunnelKinds.end(), kind) != kTunnelKinds.end();
  if (tunnel && (link.ifi_flags & kUpAndRunning) == kUpAndRunning) tunnels.emplace_back(*name);
  return true;
}

// Owns a descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// A netlink route socket that is never descriptor 0, 1 or 2: were a host's standard descriptor
// closed, another thread's write to it would reach the kernel as a request. The socket moves
// up, and the low slot keeps /dev/null, so that the next descriptor opened does not land there.
Descriptor openRouteSocket() {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0 || fd > STDERR_FILENO) return Descriptor(fd);
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (!process::standInWithNull(fd)) ::close(fd);
  return Descriptor(moved);
}

bool requestLinkDump(int fd) {
  struct {
    nlmsghdr header;
    ifinfomsg link;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = kSequence;
  request.link.ifi_family = AF_UNSPEC;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent = 0;
  do {
    sent = ::sendto(fd, &request, sizeof request, MSG_DONTWAIT | MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(sizeof request);
}

// Whether a datagram waits on `fd` before the deadline.
bool awaitDatagram(int fd, std::chrono::steady_clock::time_point deadline) {
  while (true) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd wanted{fd, POLLIN, 0};
    const int ready = ::poll(&wanted, 1, static_cast<int>(left.count()));
    if (ready != -1 || errno != EINTR) return ready > 0;
  }
}

}  // namespace

DumpProgress readLinkDump(Bytes datagram, std::uint32_t sequence,
                          std::vector<std::string>& tunnels) {
  while (!datagram.empty()) {
    if (datagram.size() < sizeof(nlmsghdr)) return DumpProgress::kFailed;
    const auto header = load<nlmsghdr>(datagram);
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size()) {
      return DumpProgress::kFailed;
    }
    const Bytes body = datagram.subspan(sizeof(nlmsghdr), header.nlmsg_len - sizeof(nlmsghdr));
    if (header.nlmsg_seq == sequence) {
      switch (header.nlmsg_type) {
        case NLMSG_DONE:  // its payload, when there is one, is the dump's error number
          return body.size() >= sizeof(int) && load<int>(body) < 0 ? DumpProgress::kFailed
                                                                   : DumpProgress::kDone;
        case NLMSG_ERROR:
          return DumpProgress::kFailed;
        case RTM_NEWLINK:
          if (!readLink(body, tunnels)) return DumpProgress::kFailed;
          break;
        default:
          break;
      }
    }
    datagram = datagram.subspan(std::min(align4(header.nlmsg_len), datagram.size()));
  }
  return DumpProgress::kMore;
}

std::optional<std::vector<std::string>> runningTunnelLinks() {
  const Descriptor socket = openRouteSocket();
  if (socket.get() < 0 || !requestLinkDump(socket.get())) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::vector<std::uint8_t> buffer(kDatagramSize);
  std::vector<std::string> tunnels;
  while (awaitDatagram(socket.get(), deadline)) {
    sockaddr_nl sender{};
    socklen_t senderSize = sizeof sender;
    const ssize_t received =
        ::recvfrom(socket.get(), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                   reinterpret_cast<sockaddr*>(&sender), &senderSize);
    if (received < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (received < 0 || static_cast<std::size_t>(received) > buffer.size()) return std::nullopt;
    if (sender.nl_pid != 0) continue;  // only the kernel answers
    switch (readLinkDump({buffer.data(), static_cast<std::size_t>(received)}, kSequence, tunnels)) {
      case DumpProgress::kDone:
        return tunnels;
      case DumpProgress::kFailed:
        return std::nullopt;
      case DumpProgress::kMore:
        break;
    }
  }
  return std::nullopt;
}

}  // namespace orvo::network
