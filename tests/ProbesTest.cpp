// Device probes: which URL schemes installed applications handle (desktop entries and
// mimeapps.list files in temporary XDG folders), tunnel interfaces in the proxy settings and in
// a network namespace of our own, and the storefront country from the locale environment.
#include <OrvoModule/OrvoModule.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_tun.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/KeyFile.h"
#include "platform/ProxySettings.h"
#include "platform/TunnelLinks.h"
#include "probes/VpnProbe.h"
#include "support/TestSupport.h"

namespace orvo {
namespace {

namespace stdfs = std::filesystem;
using std::nullopt;
using testing::ScopedEnvironment;
// Environment variables to set; none unsets one. A "~" in a value stands for an XdgTree's root.
using Env = std::vector<std::pair<const char*, std::optional<std::string>>>;

// ---------------------------------------------------------------------------------------------
// isVPNEnabled: the algorithm over injected settings, then the stand-in that provides them

plist::Dictionary settingsWith(const char* key, plist::Value value) {
  plist::Dictionary settings;
  settings.set("HTTPEnable", plist::Value(plist::Integer::fromSigned(0)));
  settings.set(key, std::move(value));
  return settings;
}

// Settings scoping the given interface names, each to `value`.
plist::Dictionary scoped(std::initializer_list<const char*> names,
                         const plist::Value& value = plist::Dictionary()) {
  plist::Dictionary interfaces;
  for (const char* name : names) interfaces.set(name, value);
  return settingsWith("__SCOPED__", std::move(interfaces));
}

TEST(VpnAlgorithm, FindsTunnelMarkersInScopedInterfaceNames) {
  const std::tuple<const char*, std::optional<plist::Dictionary>, bool> cases[] = {
      {"en0 and pdp_ip0", scoped({"en0", "pdp_ip0"}), false},
      {"en0 and utun3", scoped({"en0", "utun3"}), true},
      {"ipsec0", scoped({"ipsec0"}), true},
      {"tap1", scoped({"tap1"}), true},
      {"markers are case-sensitive", scoped({"TUN0", "IPSEC0", "Ppp0"}), false},
      {"marker at the end of a later name", scoped({"lo", "my-ppp"}), true},
      {"partial markers only", scoped({"ta", "tu", "pp", "ipse", "utu"}), false},
      {"tunnel-like values do not count", scoped({"en0"}, plist::Value("utun0")), false},
      {"names count whatever their values", scoped({"tun0"}, plist::Value(true)), true},
      {"empty scoped dictionary", scoped({}), false},
      {"no scoped entry", settingsWith("utun0", plist::Dictionary()), false},
      {"scoped key in other case", settingsWith("__scoped__", scoped({"utun0"})), false},
      {"scoped entry is a string", settingsWith("__SCOPED__", plist::Value("utun0")), false},
      {"scoped entry is an array", settingsWith("__SCOPED__", plist::Array{plist::Value("tap1")}),
       false},
      {"no settings at all", nullopt, false},
  };
  for (const auto& [name, settings, expected] : cases) {
    EXPECT_EQ(probes::namesTunnelInterface(settings), expected) << name;
  }
}

// The netlink dump reader, fed datagrams as the kernel writes them: structs and payloads, each
// padded to 4 bytes; an attribute or message of the length given, or of its own.
template <typename T>
std::string raw(const T& value, const std::string& payload = "") {
  std::string bytes = std::string(reinterpret_cast<const char*>(&value), sizeof value) + payload;
  bytes.resize((bytes.size() + 3) & ~std::size_t{3}, '\0');
  return bytes;
}
std::string attribute(unsigned type, const std::string& payload, std::size_t length = 0) {
  const auto size = static_cast<std::uint16_t>(length ? length : 4 + payload.size());
  return raw(nlattr{size, static_cast<std::uint16_t>(type)}, payload);
}
std::string message(unsigned type, const std::string& body, std::uint32_t length = 0,
                    std::uint32_t sequence = 7) {
  const auto size = static_cast<std::uint32_t>(length ? length : 16 + body.size());
  return raw(nlmsghdr{size, static_cast<std::uint16_t>(type), 0, sequence, 0}, body);
}
constexpr unsigned kUp = IFF_UP, kUpAndRunning = IFF_UP | IFF_RUNNING;
std::string linkWith(const std::string& attributes, unsigned flags = kUpAndRunning,
                     unsigned short type = ARPHRD_NONE) {
  return message(RTM_NEWLINK, raw(ifinfomsg{AF_UNSPEC, 0, type, 0, flags, 0}, attributes));
}
std::string name(const std::string& n) { return attribute(IFLA_IFNAME, n + '\0'); }
std::string kind(const std::string& k, unsigned type = IFLA_LINKINFO) {
  return attribute(type, attribute(IFLA_INFO_KIND, k + '\0'));
}
std::string link(const std::string& n, const std::string& k, unsigned flags = kUpAndRunning,
                 unsigned short type = ARPHRD_NONE) {
  return linkWith(name(n) + (k.empty() ? "" : kind(k)), flags, type);
}

TEST(LinkDump, NamesTheRunningTunnelsAndRefusesWhatDoesNotFit) {
  using P = network::DumpProgress;
  std::string everyKind;
  std::vector<std::string> everyName;
  for (const std::string k :
       {"tun", "wireguard", "xfrm", "vti", "vti6", "gre", "ip6gre", "ipip", "ip6tnl", "sit"}) {
    everyKind += link(k + "-x", k);
    everyName.push_back(k + "-x");
  }
  const std::string done = message(NLMSG_DONE, raw(0));
  const unsigned nested = IFLA_LINKINFO | NLA_F_NESTED;
  // clang-format off
  const struct { const char* why; std::string datagram; P progress;
                 std::vector<std::string> tunnels; } cases[] = {
      {"every tunnel kind", everyKind, P::kMore, everyName},
      {"a TAP link, then the end", link("gpd0", "tun", kUpAndRunning, ARPHRD_ETHER) + done,
       P::kDone, {"gpd0"}},
      {"no carrier", link("wg0", "wireguard", kUp) + link("t", "tun", 0), P::kMore, {}},
      {"PPP reports no kind", link("ppp0", "", kUpAndRunning, ARPHRD_PPP), P::kMore, {"ppp0"}},
      {"a raw-IP modem is ARPHRD_NONE too", link("wwan0", ""), P::kMore, {}},
      {"kinds of no tunnel", link("b", "bridge") + link("t", "tunx"), P::kMore, {}},
      {"link info flagged nested", linkWith(name("n") + kind("sit", nested)), P::kMore, {"n"}},
      {"another request's answer",
       message(RTM_NEWLINK, "", 0, 8) + message(NLMSG_ERROR, raw(-1), 0, 8), P::kMore, {}},
      {"an error answer", message(NLMSG_ERROR, raw(-EPERM)), P::kFailed, {}},
      {"a dump ended by an error", message(NLMSG_DONE, raw(-EINTR)), P::kFailed, {}},
      {"a header cut short", done.substr(0, 10), P::kFailed, {}},
      {"bytes after the last message", done.substr(0, 16) + "xyz", P::kFailed, {}},
      {"a length below the header", message(RTM_NEWLINK, raw(ifinfomsg{}), 8), P::kFailed, {}},
      {"a length past the datagram", message(RTM_NEWLINK, raw(ifinfomsg{}), 100), P::kFailed, {}},
      {"a link body cut short", message(RTM_NEWLINK, std::string(8, '\0')), P::kFailed, {}},
      {"an attribute below its header", linkWith(attribute(1, "", 2)), P::kFailed, {}},
      {"an attribute past its message", linkWith(attribute(1, "ab", 90)), P::kFailed, {}},
      {"a kind past its link info",
       linkWith(attribute(IFLA_LINKINFO, attribute(IFLA_INFO_KIND, "tun", 40))), P::kFailed, {}},
      {"a name without its NUL", linkWith(attribute(IFLA_IFNAME, "wg0")), P::kFailed, {}},
      {"an empty name", link("", "tun"), P::kFailed, {}},
      {"a name too long", link("sixteen-chars-00", "tun"), P::kFailed, {}},
      {"no name", linkWith(kind("tun")), P::kFailed, {}},
  };
  // clang-format on
  for (const auto& c : cases) {
    std::vector<std::string> tunnels;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.datagram.data());
    EXPECT_EQ(network::readLinkDump({bytes, c.datagram.size()}, 7, tunnels), c.progress) << c.why;
    if (c.progress != P::kFailed) {
      EXPECT_EQ(tunnels, c.tunnels) << c.why;
    }
  }
}

// The interface's flags from ioctl, after adding `add` to them; 0 when it has none.
unsigned interfaceFlags(int sock, const char* name, unsigned add = 0) {
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  if (::ioctl(sock, SIOCGIFFLAGS, &request) != 0) return 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | add);
  if (add != 0 && ::ioctl(sock, SIOCSIFFLAGS, &request) != 0) return 0;
  return static_cast<unsigned short>(request.ifr_flags);
}

// The stand-in on this machine: the names of the interfaces that ioctl says are up, and "utun:"
// keys only for interfaces that also run (which of those are tunnels, the namespace cases pin).
TEST(VpnProbe, ScopesExactlyTheInterfacesThatAreUpAndLogsNothing) {
  using Names = std::unique_ptr<struct if_nameindex[], void (*)(struct if_nameindex*)>;
  const Names names(::if_nameindex(), &::if_freenameindex);
  ASSERT_TRUE(names);
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  std::set<std::string> up, running, scopedNames, tunnelKeys;
  for (const struct if_nameindex* n = names.get(); n->if_index != 0; ++n) {
    const unsigned flags = interfaceFlags(sock, n->if_name);
    if (flags & IFF_UP) up.insert(n->if_name);
    if ((flags & kUpAndRunning) == kUpAndRunning) running.insert("utun:" + std::string(n->if_name));
  }
  ::close(sock);
  const std::optional<plist::Dictionary> settings = network::copySystemProxySettings();
  const plist::Value* entry = settings ? settings->find(network::kScopedSettingsKey) : nullptr;
  ASSERT_TRUE(entry && entry->as<plist::Dictionary>());
  for (const auto& [key, value] : *entry->as<plist::Dictionary>()) {
    (key.starts_with("utun:") ? tunnelKeys : scopedNames).insert(key);
  }
  EXPECT_EQ(scopedNames, up);
  EXPECT_TRUE(std::includes(running.begin(), running.end(), tunnelKeys.begin(), tunnelKeys.end()));
  EXPECT_FALSE(up.empty()) << "not even lo is up";
  testing::LogCapture log;
  EXPECT_EQ(IsVPNEnabled(), probes::namesTunnelInterface(settings));
  EXPECT_TRUE(log.lines().empty());
}

// One link in a network namespace of its own, beside lo.
enum class LinkType { kTun, kTap, kBridge };
enum class LinkState { kRunning, kNoCarrier, kDown };  // up with carrier, up without, down
struct NamespaceCase {
  const char* name;
  LinkType type;
  LinkState state;
  bool vpn;
  friend void PrintTo(const NamespaceCase& c, std::ostream* os) {
    *os << c.name << " type " << static_cast<int>(c.type) << " state " << static_cast<int>(c.state);
  }
};

// In a fresh network namespace (inside a fresh user namespace where a plain one is not
// permitted): lo up and the case's link, then, with standard input closed, IsVPNEnabled, whether
// that left /dev/null in the closed slot, and the scoped keys, one a line. Or a setup problem,
// '!' where privileges lack, '?' otherwise. A TUN or TAP device stays attached to this process,
// and so has carrier, unless the case wants none: then it persists unattached.
std::string vpnInNewNamespace(const NamespaceCase& c) try {
  if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    return std::string("!no network namespace: ") + strerror(errno);
  }
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0 || interfaceFlags(sock, "lo", IFF_UP) == 0) return "!cannot bring lo up";
  ifreq request{};
  std::strncpy(request.ifr_name, c.name, IFNAMSIZ - 1);
  request.ifr_flags = (c.type == LinkType::kTap ? IFF_TAP : IFF_TUN) | IFF_NO_PI;
  const int tun = c.type == LinkType::kBridge ? -1 : ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (c.type == LinkType::kBridge ? ::ioctl(sock, SIOCBRADDBR, c.name) != 0
                                  : tun < 0 || ::ioctl(tun, TUNSETIFF, &request) != 0) {
    return std::string("!cannot make the link: ") + strerror(errno);
  }
  if (c.state == LinkState::kNoCarrier && tun >= 0 && ::ioctl(tun, TUNSETPERSIST, 1) == 0) {
    ::close(tun);
  }
  if (c.state != LinkState::kDown && interfaceFlags(sock, c.name, IFF_UP) == 0) return "?not up";
  // The kernel may report a change of carrier up to about a second late. (An empty bridge has
  // carrier or not by kernel version; it is no tunnel either way.)
  for (int i = 0; c.type != LinkType::kBridge; ++i, ::usleep(10000)) {
    if (((interfaceFlags(sock, c.name) & IFF_RUNNING) != 0) == (c.state == LinkState::kRunning)) {
      break;
    }
    if (i == 300) return "?the carrier did not settle";
  }
  ::close(STDIN_FILENO);
  std::string result = IsVPNEnabled() ? "1" : "0";  // then whether our socket left the slot
  std::error_code ec;
  result += stdfs::read_symlink("/proc/self/fd/0", ec) == "/dev/null" ? "1" : "0";
  const std::optional<plist::Dictionary> settings = network::copySystemProxySettings();
  for (const auto& [key, value] :
       *settings->find(network::kScopedSettingsKey)->as<plist::Dictionary>()) {
    result += "\n" + key;
  }
  return result;
} catch (...) {
  return "?an exception";
}

class VpnInNetworkNamespace : public ::testing::TestWithParam<NamespaceCase> {};

TEST_P(VpnInNetworkNamespace, CountsRunningTunnelsOfEveryKindAndMarkedNames) {
  const NamespaceCase& c = GetParam();
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {  // the namespace and its links go when the child exits
    const std::string result = vpnInNewNamespace(c);
    ::_exit(::write(out[1], result.data(), result.size()) == std::ssize(result) ? 0 : 1);
  }
  ::close(out[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) result.append(buffer, n);
  ::close(out[0]);
  int status = -1;
  ASSERT_TRUE(child > 0 && ::waitpid(child, &status, 0) == child && status == 0) << status;
  if (result.starts_with('!')) GTEST_SKIP() << result.substr(1);
  ASSERT_FALSE(result.starts_with('?')) << result.substr(1);
  std::set<std::string> expected = {"lo"}, keys;
  if (c.state != LinkState::kDown) expected.insert(c.name);
  if (c.state == LinkState::kRunning && c.type != LinkType::kBridge) {
    expected.insert("utun:" + std::string(c.name));
  }
  std::istringstream lines(result);
  std::string answers;  // IsVPNEnabled, and /dev/null in the closed slot
  std::getline(lines, answers);
  for (std::string line; std::getline(lines, line);) keys.insert(line);
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(answers, std::string(c.vpn ? "1" : "0") + "1");
}

// The interface names of common VPN clients, which hold no marker: each counts as a tunnel that
// runs, and not without carrier or when down. Then names that count whatever the link.
std::vector<NamespaceCase> namespaceCases() {
  std::vector<NamespaceCase> cases;
  for (const LinkState state : {LinkState::kRunning, LinkState::kNoCarrier, LinkState::kDown}) {
    for (const char* name : {"wg0", "tailscale0", "nordlynx", "gpd0", "foo0"}) {
      const LinkType type = name[0] == 'g' || name[0] == 'f' ? LinkType::kTap : LinkType::kTun;
      cases.push_back({name, type, state, state == LinkState::kRunning});
    }
  }
  cases.push_back({"tun7", LinkType::kTun, LinkState::kNoCarrier, true});
  cases.push_back({"ppp0", LinkType::kTap, LinkState::kNoCarrier, true});
  cases.push_back({"utun3", LinkType::kTun, LinkState::kDown, false});
  cases.push_back({"utun3", LinkType::kBridge, LinkState::kRunning, true});  // no tunnel
  return cases;
}
INSTANTIATE_TEST_SUITE_P(Links, VpnInNetworkNamespace, ::testing::ValuesIn(namespaceCases()));

// ---------------------------------------------------------------------------------------------
// canOpenURL over temporary XDG folders

// A home and XDG data and config folders in a temporary folder, which is also the working
// directory while alive, so that relative paths in the variables would name folders in it.
class XdgTree {
 public:
  XdgTree() {
    stdfs::current_path(root());
    set({{"HOME", "~/home"},
         {"XDG_DATA_HOME", "~/data"},
         {"XDG_DATA_DIRS", "~/data1:~/data2"},
         {"XDG_CONFIG_HOME", "~/config"},
         {"XDG_CONFIG_DIRS", "~/config1:~/config2"},
         {"XDG_CURRENT_DESKTOP", nullopt}});
  }
  ~XdgTree() {
    std::error_code ec;
    stdfs::current_path(saved_, ec);
  }

  const stdfs::path& root() const { return temp_.dataHome(); }
  void set(const Env& variables) {
    for (const auto& [name, value] : variables) {
      env_.set(name, value ? std::optional(expanded(*value)) : nullopt);
    }
  }
  void write(const stdfs::path& relative, const std::string& content,
             stdfs::perms permissions = stdfs::perms(0644)) const {
    stdfs::create_directories((root() / relative).parent_path());
    std::ofstream(root() / relative, std::ios::binary | std::ios::trunc) << expanded(content);
    stdfs::permissions(root() / relative, permissions);
  }

 private:
  std::string expanded(std::string text) const {
    for (std::size_t at = 0; (at = text.find('~', at)) != std::string::npos;) {
      text.replace(at, 1, root().string());
    }
    return text;
  }

  const testing::TempAppGroup temp_;  // a throwaway folder, removed with all it holds
  const stdfs::path saved_ = stdfs::current_path();
  ScopedEnvironment env_;
};

// A desktop entry of Type=Application with these MIME types and keys (the program and more).
std::string desktopEntry(const std::string& mimeTypes,
                         const std::string& keys = "Exec=/bin/true %u\n") {
  return "[Desktop Entry]\nType=Application\nName=Orvo Test\n" + keys + "MimeType=" + mimeTypes +
         "\n";
}
const std::string kHandler = desktopEntry("x-scheme-handler/orvotest;");

// CanOpenURL's answer, after checking that it logged exactly its one trace line.
bool canOpenURLLogging(const char* url, const std::string& shown) {
  testing::LogCapture log;
  const bool answer = CanOpenURL(url);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"--> canOpenURL : " + shown}) << shown;
  return answer;
}

TEST(CanOpenURL, TakesTheTextAsItIs) {
  XdgTree xdg;
  xdg.write("data/applications/orvo-handler.desktop", kHandler);
  // The text, what the log line shows for it, and the answer.
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"orvotest://x", "orvotest://x", true},
      {"nohandler://x", "nohandler://x", false},
      {"not a url", "(null)", false},
      {nullptr, "(null)", false},
      {"orvotest://\xC0\xAF", "(null)", false},  // not UTF-8: an overlong '/'
      {"orvotest:", "orvotest:", true},
      {"OrvoTest://x", "OrvoTest://x", true},
      {" orvotest://x", "(null)", false},       // not trimmed
      {"orvotest://x y", "(null)", false},      // not escaped
      {"//orvotest/x", "//orvotest/x", false},  // a reference without a scheme
      {"orvotest", "orvotest", false},            // a relative path, not a scheme
      {"", "(null)", false},
      {"orvotest2://x", "orvotest2://x", false},
      {"orvotes://x", "orvotes://x", false},
  };
  for (const auto& [url, shown, expected] : cases) {
    EXPECT_EQ(canOpenURLLogging(url, shown), expected) << shown;
  }
}

using Files = std::vector<std::pair<std::string, std::string>>;

// Whether CanOpenURL finds a handler for orvotest:// in a tree holding these files (path in the
// tree, content) with these variables set.
bool handled(const Files& files, const Env& env = {}) {
  XdgTree xdg;
  for (const auto& [path, content] : files) xdg.write(path, content);
  xdg.set(env);
  return canOpenURLLogging("orvotest://x", "orvotest://x");
}

TEST(CanOpenURL, FollowsDesktopEntriesAndMimeAppsLists) {
  const std::string h = "data/applications/h.desktop", h1 = "data1/applications/h.desktop",
                    h2 = "data2/applications/h.desktop", p1 = "data1/applications/plain.desktop",
                    v1 = "data1/applications/vendor/h.desktop", hidden = kHandler + "Hidden=true\n",
                    plain = desktopEntry("text/plain;"),
                    link =
                        "[Desktop Entry]\nType=Link\nName=L\nURL=https://orvo.example\n"
                        "Exec=/bin/true\nMimeType=x-scheme-handler/orvotest;\n",
                    noTryExec = desktopEntry("x-scheme-handler/orvotest;",
                                             "TryExec=orvo-missing\nExec=/bin/true\n");
  const auto list = [](const char* group) {
    return [=](const char* ids) {
      return std::string("[") + group + "]\nx-scheme-handler/orvotest=" + ids + "\n";
    };
  };
  const auto defaults = list("Default Applications"), added = list("Added Associations"),
             removed = list("Removed Associations");
  const std::string config = "config/mimeapps.list", config1 = "config1/mimeapps.list",
                    config2 = "config2/mimeapps.list", apps1 = "data1/applications/mimeapps.list",
                    apps2 = "data2/applications/mimeapps.list",
                    apps3 = "data3/applications/mimeapps.list", desk = "config/orvo-mimeapps.list",
                    homeH = "home/.local/share/applications/h.desktop",
                    homeList = "home/.config/mimeapps.list", defaultH = defaults("h.desktop"),
                    addH = added("h.desktop;"), removeH = removed("h.desktop;");
  const Env orvo = {{"XDG_CURRENT_DESKTOP", "ORVO"}}, other = {{"XDG_CURRENT_DESKTOP", "X:ORVO"}},
            up = {{"XDG_CURRENT_DESKTOP", "../orvo"}},
            threeDirs = {{"XDG_DATA_DIRS", "~/data1:~/data2:~/data3"}};
  // clang-format off
  const struct { const char* why; Files files; Env env; bool handled; } cases[] = {
      // Desktop entries: where they are found, and which are installed applications.
      {"an entry of the last data folder", {{h2, kHandler}}, {}, true},
      {"one in a subfolder", {{v1, kHandler}}, {}, true},
      {"a name not ending in .desktop", {{h1 + ".bak", kHandler}}, {}, false},
      {"an entry outside applications/", {{"data1/h.desktop", kHandler}}, {}, false},
      {"types ignore case", {{h1, desktopEntry("text/html;X-Scheme-Handler/OrvoTest")}}, {}, true},
      {"a longer type", {{h1, desktopEntry("x-scheme-handler/orvotestx;")}}, {}, false},
      {"blanks in an item", {{h1, desktopEntry("text/plain; x-scheme-handler/orvotest ;")}}, {},
       false},
      {"Latin-1 in comments", {{h1, "# \xE9\n" + kHandler + "Comment[de]=M\xFCnchen\n"}}, {}, true},
      {"a Link", {{h1, link}}, {}, false},
      {"a Link as the default", {{h1, link}, {config, defaultH}}, {}, false},
      {"a Link as an added association", {{h1, link}, {config, addH}}, {}, false},
      {"TryExec not installed, as the default", {{h1, noTryExec}, {config, defaultH}}, {}, false},
      {"Hidden", {{h1, hidden}}, {}, false},
      {"Hidden, as the default", {{config, defaultH}, {h1, hidden}}, {}, false},
      // The first entry of a desktop id shadows the later ones.
      {"a hidden entry shadows", {{h, hidden}, {h2, kHandler}}, {}, false},
      {"one shadowing a hidden entry", {{h, kHandler}, {h2, hidden}}, {}, true},
      {"vendor/h.desktop is vendor-h.desktop",
       {{v1, hidden}, {"data2/applications/vendor-h.desktop", kHandler}}, {}, false},
      // Defaults name any installed application of any folder; the first installed one counts.
      {"a default without the type", {{config, defaults("plain.desktop")}, {p1, plain}}, {}, true},
      {"a default not installed", {{config, defaults("gone.desktop;")}, {p1, plain}}, {}, false},
      {"the next default", {{config1, defaults("gone.desktop;h.desktop")}, {h2, plain}}, {}, true},
      {"another type's default",
       {{config, "[Default Applications]\nx-scheme-handler/other=h.desktop\n"}, {h1, plain}}, {},
       false},
      {"a default of a later data folder's list", {{apps2, defaultH}, {h1, plain}}, {}, true},
      // Added associations: a data folder's list speaks for its own entries and later ones.
      {"an addition of a config list", {{config2, addH}, {h1, plain}}, {}, true},
      {"an addition in the entry's folder", {{apps2, addH}, {h2, plain}}, {}, true},
      {"an addition for a later folder", {{apps1, addH}, {h2, plain}}, {}, true},
      {"an addition for an earlier folder", {{apps2, addH}, {h1, plain}}, {}, false},
      // Removals hold for the lists and folders that follow, with the reach of additions.
      {"a removal of another entry", {{config, removed("g.desktop")}, {h1, kHandler}}, {}, true},
      {"a removal, then a default", {{config, removeH}, {config2, defaultH}, {h1, kHandler}}, {},
       false},
      {"a default, then a removal", {{config, defaultH}, {config1, removeH}, {h1, kHandler}}, {},
       true},
      {"a removal in the entry's folder", {{apps1, removeH}, {h1, kHandler}}, {}, false},
      {"a removal for an earlier folder", {{apps2, removeH}, {h1, kHandler}}, {}, true},
      {"the same, then a default", {{apps2, removeH}, {apps3, defaultH}, {h1, plain}}, threeDirs,
       true},
      {"an addition before a removal", {{config, addH + removeH}, {h1, plain}}, {}, true},
      {"a list that does not parse",
       {{config, "x-scheme-handler/orvotest=h.desktop\n" + removeH}, {h1, kHandler}}, {}, true},
      // The lists of the current desktops hold defaults only.
      {"a desktop's default", {{desk, defaultH}, {h1, plain}}, other, true},
      {"the default of no current desktop", {{desk, defaultH}, {h1, plain}}, {}, false},
      {"a desktop's addition", {{desk, addH}, {h1, plain}}, orvo, false},
      {"a desktop's removal", {{desk, removeH}, {h1, kHandler}}, orvo, true},
      {"a desktop name leaving the folder", {{"data1/orvo-mimeapps.list", defaultH}, {h1, plain}},
       up, false},
      // Folders from unset, empty or relative variables.
      {"XDG_DATA_HOME set", {{homeH, kHandler}}, {}, false},
      {"XDG_DATA_HOME unset", {{homeH, kHandler}}, {{"XDG_DATA_HOME", nullopt}}, true},
      {"XDG_DATA_HOME relative", {{homeH, kHandler}}, {{"XDG_DATA_HOME", "data"}}, true},
      {"XDG_CONFIG_HOME set", {{homeList, removeH}, {h1, kHandler}}, {}, true},
      {"XDG_CONFIG_HOME empty", {{homeList, removeH}, {h1, kHandler}}, {{"XDG_CONFIG_HOME", ""}},
       false},
      {"XDG_DATA_DIRS relative", {{h1, kHandler}}, {{"XDG_DATA_DIRS", "data1"}}, false},
      {"XDG_DATA_DIRS partly relative", {{h1, kHandler}}, {{"XDG_DATA_DIRS", "data1:~/data1"}},
       true},
  };
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(handled(c.files, c.env), c.handled) << c.why;
}

// The program of an entry (TryExec, else Exec's first argument) must be installed: executable
// at its absolute path or under a name in a folder of PATH as it is at the call.
TEST(CanOpenURL, NeedsTheProgramInstalled) {
  // clang-format off
  const struct { const char* why; const char* keys; std::optional<std::string> path;
                 bool handled; } cases[] = {
      {"on PATH", "Exec=orvo-app %u\n", "/nowhere:~/bin", true},
      {"not on PATH", "Exec=orvo-app %u\n", "/usr/bin:/bin", false},
      {"PATH unset: /bin and /usr/bin", "Exec=true\n", nullopt, true},
      {"at its absolute path", "Exec=~/bin/orvo-app\n", "", true},
      {"quoted, with a blank", "Exec=\"~/bin/orvo app\" %u\n", "", true},
      {"not executable", "Exec=orvo-text\n", "~/bin", false},
      {"a folder", "Exec=orvo-folder\n", "~/bin", false},
      {"relative to the working directory", "Exec=bin/orvo-app\n", "~/bin", false},
      {"in a PATH folder relative to it", "Exec=orvo-app\n", "bin", false},
      {"TryExec installed", "TryExec=orvo-app\nExec=orvo-missing\n", "~/bin", true},
      {"TryExec not installed", "TryExec=orvo-missing\nExec=orvo-app\n", "~/bin", false},
      {"TryExec at a path, no x bit", "TryExec=~/bin/orvo-text\nExec=orvo-app\n", "~/bin", false},
      {"no program", "", "~/bin", false},
  };
  // clang-format on
  for (const auto& c : cases) {
    XdgTree xdg;  // its root is the working directory
    for (const char* program : {"bin/orvo-app", "bin/orvo app"}) {
      xdg.write(program, "#!/bin/sh\n", stdfs::perms(0755));
    }
    xdg.write("bin/orvo-text", "#!/bin/sh\n");
    stdfs::create_directories(xdg.root() / "bin/orvo-folder");
    xdg.write("data1/applications/h.desktop", desktopEntry("x-scheme-handler/orvotest;", c.keys));
    xdg.set({{"PATH", c.path}});
    EXPECT_EQ(canOpenURLLogging("orvotest://x", "orvotest://x"), c.handled) << c.why;
  }
}

// The desktop-entry reader on its own: the application a text describes, from the keys it reads.
TEST(DesktopEntryReader, ReadsItsOwnKeysStrictlyAndNothingElse) {
  const std::string head = "[Desktop Entry]\nType=Application\n";
  // clang-format off
  const struct { const char* why; std::string text; std::optional<std::string> program;
                 std::vector<std::string> types; } cases[] = {
      {"program and types", head + "Exec=app %u\nMimeType=a/b;c/d\n", "app", {"a/b", "c/d"}},
      {"blanks around '=' and CRLF",
       "[Desktop Entry] \r\nType = Application\r\nExec=app\r\nMimeType= a/b\r\n", "app", {"a/b"}},
      {"escapes", head + "Exec=app\nMimeType=a\\;b;c\\sd;e\\\\;\n", "app", {"a;b", "c d", "e\\"}},
      {"the last of a repeated key", head + "Exec=app\nMimeType=a/b\nMimeType=c/d\n", "app",
       {"c/d"}},
      {"another group's keys", head + "Exec=app\n[Desktop Action x]\nMimeType=a/b\nExec=\xFF\n",
       "app", {}},
      {"Latin-1 where nothing reads it",
       "# \xE9\n" + head + "Name[de]=M\xFCnchen\nExec=app\n[X-\xE9]\nk=\xFF\n", "app", {}},
      {"Latin-1 in MimeType", head + "Exec=app\nMimeType=caf\xE9;\n", nullopt, {}},
      {"Latin-1 in Exec", head + "Exec=caf\xE9\n", nullopt, {}},
      {"Latin-1 in TryExec", head + "TryExec=caf\xE9\nExec=app\n", nullopt, {}},
      {"no Type", "[Desktop Entry]\nExec=app\n", nullopt, {}},
      {"Hidden, blanks after", head + "Exec=app\nHidden=true \t\n", nullopt, {}},
      {"not Hidden", head + "Exec=app\nHidden=false\n", "app", {}},
      {"Hidden, no boolean", head + "Exec=app\nHidden=yes\n", nullopt, {}},
      {"TryExec before Exec", head + "TryExec=/opt/t\nExec=app\n", "/opt/t", {}},
      {"an empty TryExec", head + "TryExec=\nExec=app\n", "app", {}},
      {"a quoted program", head + "Exec=\"/opt/My App/run\" %u\n", "/opt/My App/run", {}},
      {"escapes inside quotes", head + "Exec=\"a\\\\\"b\\\\$c\"\n", "a\"b$c", {}},
      {"an env wrapper", head + "Exec=env A=1 app\n", "env", {}},
      {"a quote never closed", head + "Exec=\"app %u\n", nullopt, {}},
      {"a quoted part of an argument", head + "Exec=\"a\"b\n", nullopt, {}},
      {"a reserved character unquoted", head + "Exec=a$b\n", nullopt, {}},
      {"'=' in the program", head + "Exec=A=1\n", nullopt, {}},
      {"no program", head + "Exec=\n", nullopt, {}},
      {"an entry before the first group", "Exec=app\n" + head, nullopt, {}},
      {"a line of no kind", head + "Exec=app\ngarbage\n", nullopt, {}},
      {"text after a group header", head + "Exec=app\n[X]y\n", nullopt, {}},
      {"an empty key", head + "Exec=app\n=x\n", nullopt, {}},
  };
  // clang-format on
  for (const auto& c : cases) {
    const std::optional<xdg::Application> application = xdg::readApplication(c.text);
    ASSERT_EQ(application.has_value(), c.program.has_value()) << c.why;
    if (application) {
      EXPECT_EQ(application->program, *c.program) << c.why;
      EXPECT_EQ(application->mimeTypes, c.types) << c.why;
    }
  }
}

TEST(CanOpenURL, SurvivesHostileFolders) {
  XdgTree xdg;
  // A symbolic-link loop, a FIFO, a tree deeper than the walk goes and an oversized entry.
  const stdfs::path apps = xdg.root() / "data1/applications";
  stdfs::create_directories(apps);
  stdfs::create_directory_symlink(apps, apps / "loop");
  ASSERT_EQ(::mkfifo((apps / "fifo.desktop").c_str(), 0600), 0);
  std::string deep = "data1/applications";
  for (int i = 0; i < 40; ++i) deep += "/d";
  xdg.write(deep + "/h.desktop", kHandler);
  xdg.write("data1/applications/huge.desktop", kHandler + std::string(2u << 20, '#'));
  xdg.write("config/mimeapps.list",
            "[Default Applications]\nx-scheme-handler/orvotest=fifo.desktop;huge.desktop;"
            "loop-h.desktop;../h.desktop;\n");
  EXPECT_FALSE(canOpenURLLogging("orvotest://x", "orvotest://x"));
  xdg.write("data2/applications/h.desktop", kHandler);  // a real handler is still found
  EXPECT_TRUE(canOpenURLLogging("orvotest://x", "orvotest://x"));
}

// ---------------------------------------------------------------------------------------------
// The storefront country

// GetStoreCode under these variables (LC_ALL, LC_MONETARY and LANG unset otherwise), after
// checking that it logged nothing and that a second call gave a block of its own.
std::optional<std::string> storeCode(const Env& variables) {
  ScopedEnvironment env;
  for (const char* name : {"LC_ALL", "LC_MONETARY", "LANG"}) env.set(name, nullopt);
  for (const auto& [name, value] : variables) env.set(name, value);
  testing::LogCapture log;
  using Text = std::unique_ptr<char, decltype(&std::free)>;
  const Text code(GetStoreCode(), &std::free), again(GetStoreCode(), &std::free);
  EXPECT_TRUE(log.lines().empty());
  if (!code || !again) {
    EXPECT_EQ(code, again);
    return nullopt;
  }
  EXPECT_NE(code.get(), again.get());
  EXPECT_STREQ(code.get(), again.get());
  return std::string(code.get());
}

TEST(StoreCode, ComesFromTheLocaleThatLcAllLcMonetaryOrLangSelects) {
  EXPECT_EQ(storeCode({{"LC_ALL", "fr_FR.UTF-8"}}), "FRA");
  EXPECT_EQ(storeCode({}), nullopt);
  EXPECT_EQ(storeCode({{"LC_MONETARY", "de_DE.UTF-8"}, {"LANG", "en_US.UTF-8"}}), "DEU");
  EXPECT_EQ(storeCode({{"LC_ALL", "ja_JP"}, {"LC_MONETARY", "de_DE"}, {"LANG", "en_US"}}), "JPN");
  EXPECT_EQ(storeCode({{"LC_ALL", "C"}, {"LC_MONETARY", "de_DE"}, {"LANG", "en_US"}}), nullopt);
  EXPECT_EQ(storeCode({{"LC_ALL", ""}, {"LC_MONETARY", ""}, {"LANG", "en_GB.UTF-8"}}), "GBR");
  EXPECT_EQ(storeCode({{"LC_ALL", ""}, {"LC_MONETARY", "pt_BR"}, {"LANG", ""}}), "BRA");
  EXPECT_EQ(storeCode({{"LC_MONETARY", "POSIX"}, {"LANG", "fr_FR.UTF-8"}}), nullopt);
  // No territory, or none that is an assigned country as a locale name spells it.
  for (const char* lang :
       {"C", "POSIX", "C.UTF-8", "de", "de.UTF-8", "en_ZZ.UTF-8", "en_UK", "sq_XK", "es_419",
        "fr_fr.UTF-8", "FR_FR", "_FR", "fr_FRA", "fr__FR", "fr_F", "fr_FR_FR",
        "/usr/lib/locale/fr_FR", "fr_\xC3\x89T", "\xFF\xFE_FR"}) {
    EXPECT_EQ(storeCode({{"LANG", lang}}), nullopt) << lang;
  }
  EXPECT_EQ(storeCode({{"LANG", std::string(100000, 'a') + "_FR"}}), nullopt);
  // Codeset and modifier around the territory, and a three-letter language. The table of every
  // code is checked against the iso-codes data below.
  for (const auto& [lang, expected] : {std::pair{"sr_RS@latin", "SRB"},
                                       {"de_DE.UTF-8@euro", "DEU"},
                                       {"pt_BR.ISO-8859-1", "BRA"},
                                       {"ast_ES.UTF-8", "ESP"}}) {
    EXPECT_EQ(storeCode({{"LANG", lang}}), expected) << lang;
  }
}

// Every assigned code against the iso-codes package's copy of ISO 3166-1, where it is installed.
TEST(StoreCode, AgreesWithTheIsoCodesData) {
  const stdfs::path data = "/usr/share/iso-codes/json/iso_3166-1.json";
  if (!stdfs::exists(data)) GTEST_SKIP() << "iso-codes is not installed";
  const nlohmann::json countries = nlohmann::json::parse(testing::readFile(data)).at("3166-1");
  ASSERT_EQ(countries.size(), 249u);
  for (const nlohmann::json& country : countries) {
    const std::string alpha2 = country.at("alpha_2");
    EXPECT_EQ(storeCode({{"LC_ALL", "xx_" + alpha2}}), country.at("alpha_3").get<std::string>())
        << alpha2;
  }
}

}  // namespace
}  // namespace orvo
