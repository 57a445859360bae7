// Device probes: which URL schemes installed applications handle (desktop entries and
// mimeapps.list files in temporary XDG folders), tunnel interfaces in the proxy settings and in
// a network namespace of our own, and the storefront country from the locale environment.
#include <OrvoModule/OrvoModule.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "DataManager.h"
#include "platform/PropertyList.h"
#include "platform/ProxySettings.h"
#include "probes/StoreManager.h"
#include "probes/VpnProbe.h"
#include "support/TestSupport.h"

namespace orvo {
namespace {

namespace stdfs = std::filesystem;

// Sets environment variables for the life of the object and puts the old values back after.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.contains(name)) {
      const char* old = std::getenv(name.c_str());
      saved_.emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// ---------------------------------------------------------------------------------------------
// isVPNEnabled over injected settings

plist::Dictionary scopedSettings(std::initializer_list<const char*> interfaceNames) {
  plist::Dictionary scoped;
  for (const char* name : interfaceNames) scoped.set(name, plist::Dictionary());
  plist::Dictionary settings;
  settings.set("HTTPEnable", plist::Value(plist::Integer::fromSigned(0)));
  settings.set(std::string(network::kScopedSettingsKey), std::move(scoped));
  return settings;
}

plist::Dictionary settingsWith(const char* key, plist::Value value) {
  plist::Dictionary settings;
  settings.set(key, std::move(value));
  return settings;
}

struct VpnCase {
  const char* name;
  std::optional<plist::Dictionary> settings;
  bool expected;
};

TEST(VpnAlgorithm, FindsTunnelMarkersInScopedInterfaceNames) {
  const VpnCase cases[] = {
      {"en0 and pdp_ip0", scopedSettings({"en0", "pdp_ip0"}), false},
      {"en0 and utun3", scopedSettings({"en0", "utun3"}), true},
      {"utun3 alone", scopedSettings({"utun3"}), true},
      {"ipsec0", scopedSettings({"ipsec0"}), true},
      {"ppp0", scopedSettings({"ppp0"}), true},
      {"tap1", scopedSettings({"tap1"}), true},
      {"capital TUN0", scopedSettings({"TUN0"}), false},
      {"markers in capitals", scopedSettings({"IPSEC0", "PPP0", "UTUN1", "Tap0"}), false},
      {"marker inside the name", scopedSettings({"bridge-tap2"}), true},
      {"marker at the end", scopedSettings({"lo", "my-ppp"}), true},
      {"tunnel last of several", scopedSettings({"lo", "en0", "wlan0", "pdp_ip1", "ipsec7"}), true},
      {"partial markers only", scopedSettings({"ta", "tu", "pp", "ipse", "utu"}), false},
      {"empty scoped dictionary", scopedSettings({}), false},
      {"no scoped entry", settingsWith("utun0", plist::Dictionary()), false},
      {"scoped entry is a string", settingsWith("__SCOPED__", plist::Value("utun0")), false},
      {"scoped entry is an array",
       settingsWith("__SCOPED__", plist::Array{plist::Value("utun0"), plist::Value("tap1")}),
       false},
      {"scoped key in other case",
       settingsWith("__scoped__", plist::Value(scopedSettings({"utun0"}))), false},
      {"no settings at all", std::nullopt, false},
  };
  for (const VpnCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(probes::namesTunnelInterface(c.settings), c.expected);
  }
}

TEST(VpnAlgorithm, ValuesOfScopedEntriesDoNotMatter) {
  plist::Dictionary scoped;
  scoped.set("en0", plist::Value("utun-looking value"));
  scoped.set("wlan0", plist::Array{plist::Value("tap0")});
  EXPECT_FALSE(probes::namesTunnelInterface(settingsWith("__SCOPED__", scoped)));
  scoped.set("tun0", plist::Value(true));
  EXPECT_TRUE(probes::namesTunnelInterface(settingsWith("__SCOPED__", scoped)));
}

// ---------------------------------------------------------------------------------------------
// isVPNEnabled on the interfaces of a network namespace

struct Interface {
  const char* name;
  bool up;
};

// Exit statuses of the namespace child.
constexpr int kAnsweredNo = 10;
constexpr int kAnsweredYes = 11;
constexpr int kCannotSetUp = 77;

bool setUp(int sock, const char* name) {
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  if (::ioctl(sock, SIOCGIFFLAGS, &request) != 0) return false;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  return ::ioctl(sock, SIOCSIFFLAGS, &request) == 0;
}

// In the child: a fresh network namespace (in a fresh user namespace where a plain one is not
// permitted) holding lo and the given TUN devices, then the answer of IsVPNEnabled.
[[noreturn]] void probeInChild(const std::vector<Interface>& interfaces, bool loopbackUp) {
  if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    ::_exit(kCannotSetUp);
  }
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) ::_exit(kCannotSetUp);
  if (loopbackUp && !setUp(sock, "lo")) ::_exit(kCannotSetUp);
  // The descriptors stay open until the child exits: a TUN device lives as long as its file.
  for (const Interface& i : interfaces) {
    const int tun = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (tun < 0) ::_exit(kCannotSetUp);
    ifreq request{};
    std::strncpy(request.ifr_name, i.name, IFNAMSIZ - 1);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (::ioctl(tun, TUNSETIFF, &request) != 0) ::_exit(kCannotSetUp);
    if (std::strcmp(request.ifr_name, i.name) != 0) ::_exit(kCannotSetUp);
    if (i.up && !setUp(sock, i.name)) ::_exit(kCannotSetUp);
  }
  ::_exit(IsVPNEnabled() ? kAnsweredYes : kAnsweredNo);
}

// The answer inside the namespace; none when this machine does not let us build one.
std::optional<bool> isVPNEnabledInNamespace(const std::vector<Interface>& interfaces,
                                            bool loopbackUp = true) {
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) probeInChild(interfaces, loopbackUp);
  if (child < 0) return std::nullopt;
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    ADD_FAILURE() << "the namespace child did not exit normally";
    return std::nullopt;
  }
  switch (WEXITSTATUS(status)) {
    case kAnsweredYes:
      return true;
    case kAnsweredNo:
      return false;
    case kCannotSetUp:
      return std::nullopt;
    default:
      ADD_FAILURE() << "the namespace child exited with " << WEXITSTATUS(status);
  }
  return std::nullopt;
}

struct NamespaceCase {
  const char* name;
  std::vector<Interface> interfaces;
  bool loopbackUp;
  bool expected;
};

TEST(VpnInNetworkNamespace, AnswersFromTheInterfacesThatAreUp) {
  const NamespaceCase cases[] = {
      {"only lo up", {}, true, false},
      {"nothing up", {}, false, false},
      {"utun3 up", {{"utun3", true}}, true, true},
      {"utun3 present but down", {{"utun3", false}}, true, false},
      {"ordinary interface up", {{"eth0", true}}, true, false},
      {"ppp0 up beside eth0", {{"eth0", true}, {"ppp0", true}}, true, true},
      {"tap in the middle of the name", {{"br-tap7", true}}, true, true},
      {"capital TUN0 up", {{"TUN0", true}}, true, false},
      {"ipsec0 down, wg0 up", {{"ipsec0", false}, {"wg0", true}}, true, false},
  };
  for (const NamespaceCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<bool> answer = isVPNEnabledInNamespace(c.interfaces, c.loopbackUp);
    if (!answer) {
      if (HasFailure()) return;
      GTEST_SKIP() << "cannot create a network namespace with TUN devices here";
    }
    EXPECT_EQ(*answer, c.expected);
  }
}

TEST(VpnProbe, PrintsNoLogLine) {
  testing::LogCapture log;
  IsVPNEnabled();
  EXPECT_TRUE(log.lines().empty());
}

TEST(ProxySettingsStandIn, ScopesExactlyTheInterfacesThatAreUp) {
  const std::optional<plist::Dictionary> settings = network::copySystemProxySettings();
  ASSERT_TRUE(settings.has_value());
  const plist::Value* scoped = settings->find(network::kScopedSettingsKey);
  ASSERT_NE(scoped, nullptr);
  const plist::Dictionary* interfaces = scoped->as<plist::Dictionary>();
  ASSERT_NE(interfaces, nullptr);
  // The same question asked another way: every interface by index, its flags by ioctl.
  std::set<std::string> expected;
  struct if_nameindex* names = ::if_nameindex();
  ASSERT_NE(names, nullptr);
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  for (const struct if_nameindex* n = names; sock >= 0 && n->if_index != 0; ++n) {
    ifreq request{};
    std::strncpy(request.ifr_name, n->if_name, IFNAMSIZ - 1);
    if (::ioctl(sock, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) != 0) {
      expected.insert(n->if_name);
    }
  }
  if (sock >= 0) ::close(sock);
  ::if_freenameindex(names);
  ASSERT_FALSE(expected.empty()) << "no interface is up, not even lo";
  std::set<std::string> actual;
  for (const auto& [name, value] : *interfaces) {
    actual.insert(name);
    EXPECT_EQ(value, plist::Value(plist::Dictionary())) << name;
  }
  EXPECT_EQ(actual, expected);
}

// ---------------------------------------------------------------------------------------------
// canOpenURL over temporary XDG folders

// A home, data and config folders of our own, named by the XDG variables while alive, and
// removed afterwards.
class XdgTree {
 public:
  XdgTree() {
    char pattern[] = "/tmp/orvo-xdg-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    for (const char* dir :
         {"home", "data-home", "data-1", "data-2", "config-home", "config-1", "config-2"}) {
      stdfs::create_directories(root_ / dir);
    }
    env_.set("HOME", (root_ / "home").string());
    env_.set("XDG_DATA_HOME", (root_ / "data-home").string());
    env_.set("XDG_DATA_DIRS", (root_ / "data-1").string() + ":" + (root_ / "data-2").string());
    env_.set("XDG_CONFIG_HOME", (root_ / "config-home").string());
    env_.set("XDG_CONFIG_DIRS",
             (root_ / "config-1").string() + ":" + (root_ / "config-2").string());
    env_.set("XDG_CURRENT_DESKTOP", std::nullopt);
  }
  XdgTree(const XdgTree&) = delete;
  XdgTree& operator=(const XdgTree&) = delete;
  ~XdgTree() {
    std::error_code ec;
    stdfs::remove_all(root_, ec);
  }

  const stdfs::path& root() const { return root_; }
  ScopedEnvironment& environment() { return env_; }
  void write(const stdfs::path& relative, const std::string& content) const {
    stdfs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative, std::ios::binary | std::ios::trunc) << content;
  }

 private:
  stdfs::path root_;
  ScopedEnvironment env_;
};

std::string desktopEntry(const std::string& mimeTypes, const std::string& extra = "") {
  return "[Desktop Entry]\nType=Application\nName=Orvo Test\nExec=/bin/true %u\nMimeType=" +
         mimeTypes + "\n" + extra;
}

constexpr const char kHandlerEntry[] = "x-scheme-handler/orvotest;";

std::string traceFor(const std::string& shown) { return "--> canOpenURL : " + shown; }

// Calls CanOpenURL and checks that it logged exactly its one trace line.
bool canOpenURLLogging(const char* url, const std::string& expectedShown) {
  testing::LogCapture log;
  const bool answer = CanOpenURL(url);
  EXPECT_EQ(log.lines(), std::vector<std::string>{traceFor(expectedShown)});
  return answer;
}

TEST(CanOpenURL, AnswersForAnInstalledSchemeHandler) {
  XdgTree xdg;
  xdg.write("data-home/applications/orvo-handler.desktop", desktopEntry(kHandlerEntry));
  EXPECT_TRUE(canOpenURLLogging("orvotest://x", "orvotest://x"));
  EXPECT_FALSE(canOpenURLLogging("nohandler://x", "nohandler://x"));
  EXPECT_FALSE(canOpenURLLogging("not a url", "(null)"));
}

TEST(CanOpenURL, TakesTheTextAsItIs) {
  XdgTree xdg;
  xdg.write("data-home/applications/orvo-handler.desktop", desktopEntry(kHandlerEntry));
  struct Case {
    const char* url;
    const char* shown;
    bool expected;
  };
  const Case cases[] = {
      {"orvotest:", "orvotest:", true},
      {"orvotest:path/only?q=1#f", "orvotest:path/only?q=1#f", true},
      {"ORVOTEST://X", "ORVOTEST://X", true},
      {"OrvoTest://host:8080/a%20b", "OrvoTest://host:8080/a%20b", true},
      {"orvotest://[::1]/", "orvotest://[::1]/", true},
      {" orvotest://x", "(null)", false},         // not trimmed
      {"orvotest://x\n", "(null)", false},        // not trimmed
      {"orvotest://x y", "(null)", false},        // not escaped
      {"orvotest://%zz", "(null)", false},        // a bad escape
      {"orvotest://h\xC3\xA9", "(null)", false},  // non-ASCII is not URI syntax
      {"//orvotest/x", "//orvotest/x", false},    // a reference without a scheme
      {"orvotest", "orvotest", false},            // a relative path, not a scheme
      {"", "", false},                            // the empty reference
      {"orvotest2://x", "orvotest2://x", false},
      {"orvotes://x", "orvotes://x", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(canOpenURLLogging(c.url, c.shown), c.expected);
  }
}

TEST(CanOpenURL, RefusesNullAndInvalidTextWithItsOneLogLine) {
  XdgTree xdg;
  xdg.write("data-home/applications/orvo-handler.desktop", desktopEntry(kHandlerEntry));
  EXPECT_FALSE(canOpenURLLogging(nullptr, "(null)"));
  EXPECT_FALSE(canOpenURLLogging("orvotest://\xFF", "(null)"));
  EXPECT_FALSE(canOpenURLLogging("orvotest://\xC0\xAF", "(null)"));  // overlong '/'
}

struct TreeCase {
  const char* name;
  std::vector<std::pair<const char*, std::string>> files;  // relative path, content
  bool expected;
};

TEST(CanOpenURL, FollowsDesktopEntriesAndMimeAppsLists) {
  const std::string handler = desktopEntry(kHandlerEntry);
  const std::string plain = desktopEntry("text/plain;");
  const std::string hidden = desktopEntry(kHandlerEntry, "Hidden=true\n");
  const auto list = [](const char* group, const char* ids) {
    return std::string("[") + group + "]\nx-scheme-handler/orvotest=" + ids + "\n";
  };
  const TreeCase cases[] = {
      {"no entries at all", {}, false},
      {"handler in the data home", {{"data-home/applications/h.desktop", handler}}, true},
      {"handler in the last data dir", {{"data-2/applications/h.desktop", handler}}, true},
      {"handler in a vendor subfolder", {{"data-1/applications/vendor/h.desktop", handler}}, true},
      {"type among others, upper case",
       {{"data-1/applications/h.desktop", desktopEntry("text/html;X-Scheme-Handler/OrvoTest;")}},
       true},
      {"single type without the trailing separator",
       {{"data-1/applications/h.desktop", desktopEntry("x-scheme-handler/orvotest")}},
       true},
      {"other types only", {{"data-1/applications/h.desktop", plain}}, false},
      {"a longer scheme is another scheme",
       {{"data-1/applications/h.desktop", desktopEntry("x-scheme-handler/orvotestx;")}},
       false},
      {"no .desktop suffix", {{"data-1/applications/h.desktop.bak", handler}}, false},
      {"entry outside applications/", {{"data-1/h.desktop", handler}}, false},
      {"Hidden=true", {{"data-home/applications/h.desktop", hidden}}, false},
      {"Hidden=false",
       {{"data-home/applications/h.desktop", desktopEntry(kHandlerEntry, "Hidden=false\n")}},
       true},
      {"hidden entry in the data home shadows the same id below",
       {{"data-home/applications/h.desktop", hidden}, {"data-2/applications/h.desktop", handler}},
       false},
      {"hidden entry below is shadowed by the data home",
       {{"data-home/applications/h.desktop", handler}, {"data-2/applications/h.desktop", hidden}},
       true},
      {"hidden entry does not hide another id",
       {{"data-home/applications/h.desktop", hidden}, {"data-2/applications/g.desktop", handler}},
       true},
      {"subfolder id shadows the flat id below",
       {{"data-1/applications/vendor/h.desktop", hidden},
        {"data-2/applications/vendor-h.desktop", handler}},
       false},
      {"not UTF-8",
       {{"data-1/applications/h.desktop", desktopEntry(kHandlerEntry, "Name[fr]=\xFF\n")}},
       false},
      {"a line that is no entry",
       {{"data-1/applications/h.desktop", desktopEntry(kHandlerEntry, "garbage\n")}},
       false},
      {"key before the first group",
       {{"data-1/applications/h.desktop", "MimeType=x-scheme-handler/orvotest;\n" + handler}},
       false},
      {"type in another group",
       {{"data-1/applications/h.desktop",
         "[Desktop Entry]\nName=x\n[Desktop Action new]\nMimeType=x-scheme-handler/orvotest;\n"}},
       false},
      {"a folder named like an entry", {{"data-1/applications/h.desktop/x", "x"}}, false},
      {"default in the config home names an installed entry",
       {{"config-home/mimeapps.list", list("Default Applications", "plain.desktop")},
        {"data-1/applications/plain.desktop", plain}},
       true},
      {"default names nothing installed",
       {{"config-home/mimeapps.list", list("Default Applications", "gone.desktop;")},
        {"data-1/applications/plain.desktop", plain}},
       false},
      {"default names a hidden entry",
       {{"config-home/mimeapps.list", list("Default Applications", "h.desktop")},
        {"data-1/applications/h.desktop", hidden}},
       false},
      {"second default is installed",
       {{"config-1/mimeapps.list", list("Default Applications", "gone.desktop;plain.desktop;")},
        {"data-2/applications/plain.desktop", plain}},
       true},
      {"added association in a config dir",
       {{"config-2/mimeapps.list", list("Added Associations", "plain.desktop;")},
        {"data-1/applications/plain.desktop", plain}},
       true},
      {"added association in a data dir list",
       {{"data-2/applications/mimeapps.list", list("Added Associations", "plain.desktop;")},
        {"data-1/applications/plain.desktop", plain}},
       true},
      {"association for another type",
       {{"config-home/mimeapps.list",
         "[Default Applications]\nx-scheme-handler/other=plain.desktop\n"},
        {"data-1/applications/plain.desktop", plain}},
       false},
      {"removed association in the config home",
       {{"config-home/mimeapps.list", list("Removed Associations", "h.desktop;")},
        {"data-1/applications/h.desktop", handler}},
       false},
      {"removed association also overrides a later default",
       {{"config-home/mimeapps.list", list("Removed Associations", "h.desktop;")},
        {"config-2/mimeapps.list", list("Default Applications", "h.desktop")},
        {"data-1/applications/h.desktop", handler}},
       false},
      {"removed association of another entry",
       {{"config-home/mimeapps.list", list("Removed Associations", "other.desktop;")},
        {"data-1/applications/h.desktop", handler}},
       true},
      {"removed in a less important list than the entry's folder",
       {{"data-2/applications/mimeapps.list", list("Removed Associations", "h.desktop;")},
        {"data-1/applications/h.desktop", handler}},
       true},
      {"removed in the entry's own folder",
       {{"data-1/applications/mimeapps.list", list("Removed Associations", "h.desktop;")},
        {"data-1/applications/h.desktop", handler}},
       false},
      {"default of a more important list wins over a removal below",
       {{"config-home/mimeapps.list", list("Default Applications", "h.desktop")},
        {"config-1/mimeapps.list", list("Removed Associations", "h.desktop;")},
        {"data-1/applications/h.desktop", handler}},
       true},
      {"added and removed in the same list",
       {{"config-home/mimeapps.list", list("Added Associations", "plain.desktop;") +
                                          list("Removed Associations", "plain.desktop;")},
        {"data-1/applications/plain.desktop", plain}},
       true},
      {"malformed list counts as empty",
       {{"config-home/mimeapps.list",
         "x-scheme-handler/orvotest=h.desktop\n[Removed Associations]\n"
         "x-scheme-handler/orvotest=h.desktop\n"},
        {"data-1/applications/h.desktop", handler}},
       true},
      {"desktop-specific list without a current desktop",
       {{"config-home/orvo-mimeapps.list", list("Default Applications", "plain.desktop")},
        {"data-1/applications/plain.desktop", plain}},
       false},
  };
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(c.name);
    XdgTree xdg;
    for (const auto& [path, content] : c.files) xdg.write(path, content);
    EXPECT_EQ(canOpenURLLogging("orvotest://x", "orvotest://x"), c.expected);
  }
}

TEST(CanOpenURL, ReadsTheListOfTheCurrentDesktop) {
  XdgTree xdg;
  xdg.write("config-home/orvo-mimeapps.list",
            "[Default Applications]\nx-scheme-handler/orvotest=plain.desktop\n");
  xdg.write("data-1/applications/plain.desktop", desktopEntry("text/plain;"));
  EXPECT_FALSE(canOpenURLLogging("orvotest://x", "orvotest://x"));
  xdg.environment().set("XDG_CURRENT_DESKTOP", "Other:ORVO");
  EXPECT_TRUE(canOpenURLLogging("orvotest://x", "orvotest://x"));
  xdg.environment().set("XDG_CURRENT_DESKTOP", "../orvo");
  EXPECT_FALSE(canOpenURLLogging("orvotest://x", "orvotest://x"));
}

TEST(CanOpenURL, UsesTheXdgDefaultsForUnsetOrRelativeFolders) {
  XdgTree xdg;
  xdg.write("home/.local/share/applications/h.desktop", desktopEntry(kHandlerEntry));
  EXPECT_FALSE(canOpenURLLogging("orvotest://x", "orvotest://x"));  // the data home is elsewhere
  xdg.environment().set("XDG_DATA_HOME", std::nullopt);
  EXPECT_TRUE(canOpenURLLogging("orvotest://x", "orvotest://x"));
  xdg.environment().set("XDG_DATA_HOME", "relative/data");
  EXPECT_TRUE(canOpenURLLogging("orvotest://x", "orvotest://x"));

  xdg.write("home/.config/mimeapps.list",
            "[Removed Associations]\nx-scheme-handler/orvotest=h.desktop;\n");
  EXPECT_TRUE(canOpenURLLogging("orvotest://x", "orvotest://x"));  // the config home is elsewhere
  xdg.environment().set("XDG_CONFIG_HOME", "");
  EXPECT_FALSE(canOpenURLLogging("orvotest://x", "orvotest://x"));
}

TEST(CanOpenURL, IgnoresRelativeDataDirs) {
  XdgTree xdg;
  xdg.write("data-2/applications/h.desktop", desktopEntry(kHandlerEntry));
  // From the tree's root the relative entry would name the folder with the handler.
  const stdfs::path saved = stdfs::current_path();
  stdfs::current_path(xdg.root());
  xdg.environment().set("XDG_DATA_DIRS", "data-2");
  const bool relative = canOpenURLLogging("orvotest://x", "orvotest://x");
  xdg.environment().set("XDG_DATA_DIRS", "data-2:" + (xdg.root() / "data-2").string());
  const bool absolute = canOpenURLLogging("orvotest://x", "orvotest://x");
  stdfs::current_path(saved);
  EXPECT_FALSE(relative);
  EXPECT_TRUE(absolute);
}

TEST(CanOpenURL, SurvivesHostileFolders) {
  XdgTree xdg;
  // A symbolic-link loop, a tree deeper than the walk goes, a FIFO and an oversized entry.
  stdfs::create_directories(xdg.root() / "data-1/applications");
  stdfs::create_directory_symlink(xdg.root() / "data-1/applications",
                                  xdg.root() / "data-1/applications/loop");
  std::string deep = "data-1/applications";
  for (int i = 0; i < 40; ++i) deep += "/d";
  xdg.write(deep + "/h.desktop", desktopEntry(kHandlerEntry));
  ASSERT_EQ(::mkfifo((xdg.root() / "data-1/applications/fifo.desktop").c_str(), 0600), 0);
  xdg.write("data-1/applications/huge.desktop",
            desktopEntry(kHandlerEntry, std::string(2u << 20, '#')));
  xdg.write("config-home/mimeapps.list", std::string("[Default Applications]\n") +
                                             "x-scheme-handler/orvotest=fifo.desktop;huge.desktop;"
                                             "loop-h.desktop;../h.desktop;\n");
  EXPECT_FALSE(canOpenURLLogging("orvotest://x", "orvotest://x"));
  // With all that in place, a real handler is still found.
  xdg.write("data-2/applications/h.desktop", desktopEntry(kHandlerEntry));
  EXPECT_TRUE(canOpenURLLogging("orvotest://x", "orvotest://x"));
}

// ---------------------------------------------------------------------------------------------
// The storefront country

std::optional<std::string> storeCode() {
  char* code = GetStoreCode();
  if (code == nullptr) return std::nullopt;
  std::string text(code);
  std::free(code);
  return text;
}

struct LocaleCase {
  std::optional<std::string> lcAll;
  std::optional<std::string> lcMonetary;
  std::optional<std::string> lang;
  std::optional<std::string> expected;
};

TEST(StoreCode, ComesFromTheTerritoryOfTheSelectedLocale) {
  using std::nullopt;
  const LocaleCase cases[] = {
      {"fr_FR.UTF-8", nullopt, nullopt, "FRA"},
      {nullopt, nullopt, "C", nullopt},
      {nullopt, nullopt, "POSIX", nullopt},
      {nullopt, nullopt, "C.UTF-8", nullopt},
      {nullopt, nullopt, nullopt, nullopt},
      {nullopt, "de_DE.UTF-8", "en_US.UTF-8", "DEU"},
      {"ja_JP.UTF-8", "de_DE.UTF-8", "en_US.UTF-8", "JPN"},
      {"C", "de_DE.UTF-8", "en_US.UTF-8", nullopt},
      {"", "", "en_GB.UTF-8", "GBR"},
      {"", "pt_BR", "", "BRA"},
      {nullopt, "POSIX", "fr_FR.UTF-8", nullopt},
      {nullopt, nullopt, "de", nullopt},
      {nullopt, nullopt, "de.UTF-8", nullopt},
      {nullopt, nullopt, "en_ZZ.UTF-8", nullopt},  // not assigned
      {nullopt, nullopt, "en_UK", nullopt},        // reserved, not assigned
      {nullopt, nullopt, "sq_XK", nullopt},        // user-assigned, not in ISO 3166-1
      {nullopt, nullopt, "es_419", nullopt},       // a region, not a country
      {nullopt, nullopt, "sr_RS@latin", "SRB"},
      {nullopt, nullopt, "de_DE.UTF-8@euro", "DEU"},
      {nullopt, nullopt, "ca_ES@valencia", "ESP"},
      {nullopt, nullopt, "pt_BR.ISO-8859-1", "BRA"},
      {nullopt, nullopt, "ast_ES.UTF-8", "ESP"},
      {nullopt, nullopt, "en_AX", "ALA"},
      {nullopt, nullopt, "fr_fr.UTF-8", nullopt},
      {nullopt, nullopt, "FR_FR", nullopt},
      {nullopt, nullopt, "_FR", nullopt},
      {nullopt, nullopt, "fr_FRA", nullopt},
      {nullopt, nullopt, "fr__FR", nullopt},
      {nullopt, nullopt, "fr_F", nullopt},
      {nullopt, nullopt, "fr_FR_FR", nullopt},
      {nullopt, nullopt, "/usr/lib/locale/fr_FR", nullopt},
      {nullopt, nullopt, "fr_\xC3\x89T", nullopt},
      {nullopt, nullopt, "\xFF\xFE_FR", nullopt},
      {nullopt, nullopt, std::string(100000, 'a') + "_FR", nullopt},
  };
  for (const LocaleCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.lcAll) + " " + ::testing::PrintToString(c.lcMonetary) +
                 " " + ::testing::PrintToString(c.lang).substr(0, 80));
    ScopedEnvironment env;
    env.set("LC_ALL", c.lcAll);
    env.set("LC_MONETARY", c.lcMonetary);
    env.set("LANG", c.lang);
    EXPECT_EQ(storeCode(), c.expected);
  }
}

TEST(StoreCode, GivesAFreshBufferOnEveryCall) {
  ScopedEnvironment env;
  env.set("LC_ALL", "nl_NL.UTF-8");
  testing::LogCapture log;
  char* first = GetStoreCode();
  char* second = StoreManager::getCountryCode();
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);
  EXPECT_STREQ(first, "NLD");
  EXPECT_STREQ(second, "NLD");
  std::free(first);
  std::free(second);
  EXPECT_TRUE(log.lines().empty());
}

// Every pair of capital letters as a territory: exactly the 249 assigned codes give a code,
// three capital letters each, no two alike.
TEST(StoreCode, KnowsExactlyTheAssignedCountries) {
  ScopedEnvironment env;
  env.set("LC_MONETARY", std::nullopt);
  env.set("LANG", std::nullopt);
  std::map<std::string, std::string> codes;
  for (char a = 'A'; a <= 'Z'; ++a) {
    for (char b = 'A'; b <= 'Z'; ++b) {
      const std::string alpha2{a, b};
      env.set("LC_ALL", "en_" + alpha2 + ".UTF-8");
      if (std::optional<std::string> code = storeCode()) codes.emplace(alpha2, std::move(*code));
    }
  }
  EXPECT_EQ(codes.size(), 249u);
  std::set<std::string> distinct;
  for (const auto& [alpha2, alpha3] : codes) {
    EXPECT_EQ(alpha3.size(), 3u) << alpha2;
    EXPECT_TRUE(std::all_of(alpha3.begin(), alpha3.end(), [](char c) {
      return c >= 'A' && c <= 'Z';
    })) << alpha2;
    distinct.insert(alpha3);
  }
  EXPECT_EQ(distinct.size(), codes.size());
  const std::map<std::string, std::string> samples = {
      {"US", "USA"}, {"GB", "GBR"}, {"DE", "DEU"}, {"CW", "CUW"}, {"SS", "SSD"}, {"BQ", "BES"},
      {"AQ", "ATA"}, {"PS", "PSE"}, {"TL", "TLS"}, {"UM", "UMI"}, {"ZW", "ZWE"}, {"AX", "ALA"}};
  for (const auto& [alpha2, alpha3] : samples) {
    const auto found = codes.find(alpha2);
    ASSERT_NE(found, codes.end()) << alpha2;
    EXPECT_EQ(found->second, alpha3);
  }
}

// The same table against the iso-codes package's copy of ISO 3166-1, where it is installed.
TEST(StoreCode, AgreesWithTheIsoCodesData) {
  const stdfs::path data = "/usr/share/iso-codes/json/iso_3166-1.json";
  if (!stdfs::exists(data)) GTEST_SKIP() << "iso-codes is not installed";
  const nlohmann::json countries = nlohmann::json::parse(testing::readFile(data)).at("3166-1");
  ASSERT_EQ(countries.size(), 249u);
  ScopedEnvironment env;
  for (const nlohmann::json& country : countries) {
    const std::string alpha2 = country.at("alpha_2");
    env.set("LC_ALL", "xx_" + alpha2);
    EXPECT_EQ(storeCode(), country.at("alpha_3").get<std::string>()) << alpha2;
  }
}

}  // namespace
}  // namespace orvo
