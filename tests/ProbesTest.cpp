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

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/ProxySettings.h"
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

// Whether ioctl says the interface is up, after bringing it up when asked to.
bool interfaceUp(int sock, const char* name, bool bringUp = false) {
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  if (::ioctl(sock, SIOCGIFFLAGS, &request) != 0) return false;
  if (!bringUp || (request.ifr_flags & IFF_UP) != 0) return (request.ifr_flags & IFF_UP) != 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  return ::ioctl(sock, SIOCSIFFLAGS, &request) == 0;
}

// The stand-in on this machine against the interfaces that ioctl says are up.
TEST(VpnProbe, ScopesExactlyTheInterfacesThatAreUpAndLogsNothing) {
  using Names = std::unique_ptr<struct if_nameindex[], void (*)(struct if_nameindex*)>;
  const Names names(::if_nameindex(), &::if_freenameindex);
  ASSERT_TRUE(names);
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  std::set<std::string> expected, actual;
  for (const struct if_nameindex* n = names.get(); n->if_index != 0; ++n) {
    if (interfaceUp(sock, n->if_name)) expected.insert(n->if_name);
  }
  ::close(sock);
  const std::optional<plist::Dictionary> settings = network::copySystemProxySettings();
  const plist::Value* entry = settings ? settings->find(network::kScopedSettingsKey) : nullptr;
  ASSERT_TRUE(entry && entry->as<plist::Dictionary>());
  for (const auto& interface : *entry->as<plist::Dictionary>()) actual.insert(interface.first);
  EXPECT_EQ(actual, expected);
  EXPECT_FALSE(expected.empty()) << "not even lo is up";
  testing::LogCapture log;
  EXPECT_EQ(IsVPNEnabled(), probes::namesTunnelInterface(settings));
  EXPECT_TRUE(log.lines().empty());
}

// IsVPNEnabled in a child in a fresh network namespace (inside a fresh user namespace where a
// plain one is not permitted) holding lo, up, and the given TUN devices (name, whether up); they
// go when the child exits. None when this machine does not let us build that.
std::optional<bool> isVPNEnabledInNamespace(const std::vector<std::pair<const char*, bool>>& tuns) {
  enum : int { kNo = 10, kYes = 11, kCannotSetUp = 77 };
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      ::_exit(kCannotSetUp);
    }
    const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0 || !interfaceUp(sock, "lo", true)) ::_exit(kCannotSetUp);
    for (const auto& [name, up] : tuns) {
      ifreq request{};
      std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
      request.ifr_flags = IFF_TUN | IFF_NO_PI;
      const int tun = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
      if (tun < 0 || ::ioctl(tun, TUNSETIFF, &request) != 0 ||
          std::strcmp(request.ifr_name, name) != 0 || (up && !interfaceUp(sock, name, true))) {
        ::_exit(kCannotSetUp);
      }
    }
    ::_exit(IsVPNEnabled() ? kYes : kNo);
  }
  if (child < 0) return nullopt;
  int status = 0;
  const bool exited = ::waitpid(child, &status, 0) == child && WIFEXITED(status);
  const int code = exited ? WEXITSTATUS(status) : -1;
  if (code == kYes || code == kNo) return code == kYes;
  if (code != kCannotSetUp) ADD_FAILURE() << "the namespace child ended with status " << status;
  return nullopt;
}

TEST(VpnInNetworkNamespace, AnswersFromTheInterfacesThatAreUp) {
  const std::tuple<const char*, std::vector<std::pair<const char*, bool>>, bool> cases[] = {
      {"utun3 up", {{"utun3", true}}, true},
      {"utun3 present but down", {{"utun3", false}}, false},
      {"ppp0 up beside eth0", {{"eth0", true}, {"ppp0", true}}, true},
  };
  for (const auto& [name, tuns, expected] : cases) {
    const std::optional<bool> answer = isVPNEnabledInNamespace(tuns);
    if (!answer && !HasFailure()) GTEST_SKIP() << "no network namespace with TUN devices here";
    ASSERT_TRUE(answer.has_value()) << name;
    EXPECT_EQ(*answer, expected) << name;
  }
}

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
    for (auto [name, value] : variables) {
      for (std::size_t at = 0; value && (at = value->find('~')) != std::string::npos;) {
        value->replace(at, 1, root().string());
      }
      env_.set(name, value);
    }
  }
  void write(const stdfs::path& relative, const std::string& content) const {
    stdfs::create_directories((root() / relative).parent_path());
    std::ofstream(root() / relative, std::ios::binary | std::ios::trunc) << content;
  }

 private:
  const testing::TempAppGroup temp_;  // a throwaway folder, removed with all it holds
  const stdfs::path saved_ = stdfs::current_path();
  ScopedEnvironment env_;
};

std::string desktopEntry(const std::string& mimeTypes) {
  return "[Desktop Entry]\nType=Application\nName=Orvo Test\nExec=/bin/true %u\nMimeType=" +
         mimeTypes + "\n";
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
      {"orvotest:path/only?q=1#f", "orvotest:path/only?q=1#f", true},
      {"OrvoTest://host:8080/a%20b", "OrvoTest://host:8080/a%20b", true},
      {" orvotest://x", "(null)", false},         // not trimmed
      {"orvotest://x\n", "(null)", false},        // not trimmed
      {"orvotest://x y", "(null)", false},        // not escaped
      {"orvotest://%zz", "(null)", false},        // a bad escape
      {"orvotest://h\xC3\xA9", "(null)", false},  // non-ASCII is not URI syntax
      {"//orvotest/x", "//orvotest/x", false},    // a reference without a scheme
      {"orvotest", "orvotest", false},            // a relative path, not a scheme
      {"", "(null)", false},
      {"orvotest2://x", "orvotest2://x", false},
      {"orvotes://x", "orvotes://x", false},
  };
  for (const auto& [url, shown, expected] : cases) {
    EXPECT_EQ(canOpenURLLogging(url, shown), expected) << shown;
  }
}

// Whether CanOpenURL finds a handler for orvotest:// in a tree holding these files (path in the
// tree, content) with these variables set.
bool handled(const std::vector<std::pair<std::string, std::string>>& files, const Env& env = {}) {
  XdgTree xdg;
  for (const auto& [path, content] : files) xdg.write(path, content);
  xdg.set(env);
  return canOpenURLLogging("orvotest://x", "orvotest://x");
}

TEST(CanOpenURL, FollowsDesktopEntriesAndMimeAppsLists) {
  const std::string h = "data/applications/h.desktop", h1 = "data1/applications/h.desktop",
                    h2 = "data2/applications/h.desktop", p1 = "data1/applications/plain.desktop",
                    v1 = "data1/applications/vendor/h.desktop", hidden = kHandler + "Hidden=true\n",
                    plain = desktopEntry("text/plain;");
  // Where entries are found, how their types are written and read.
  EXPECT_TRUE(handled({{h2, kHandler}}));
  EXPECT_TRUE(handled({{v1, kHandler}}));
  EXPECT_FALSE(handled({{"data1/applications/h.desktop.bak", kHandler}}));
  EXPECT_FALSE(handled({{"data1/h.desktop", kHandler}}));
  EXPECT_TRUE(handled({{h1, desktopEntry("text/html;X-Scheme-Handler/OrvoTest;")}}));
  EXPECT_TRUE(handled({{h1, desktopEntry("x-scheme-handler/orvotest")}}));
  EXPECT_FALSE(handled({{h1, desktopEntry("x-scheme-handler/orvotestx;")}}));
  EXPECT_FALSE(handled({{h1, kHandler + "Name[fr]=\xFF\n"}}));
  EXPECT_FALSE(handled({{h1, kHandler + "garbage\n"}}));
  EXPECT_FALSE(handled({{h1, "MimeType=x-scheme-handler/orvotest;\n" + kHandler}}));
  EXPECT_FALSE(
      handled({{h1, plain + "[Desktop Action a]\nMimeType=x-scheme-handler/orvotest;\n"}}));
  // Hidden entries, and the first entry of a desktop id shadowing the later ones.
  EXPECT_FALSE(handled({{h1, hidden}}));
  EXPECT_TRUE(handled({{h1, kHandler + "Hidden=false\n"}}));
  EXPECT_FALSE(handled({{h, hidden}, {h2, kHandler}}));
  EXPECT_TRUE(handled({{h, kHandler}, {h2, hidden}}));
  EXPECT_FALSE(handled({{v1, hidden}, {"data2/applications/vendor-h.desktop", kHandler}}));
  // mimeapps.list: defaults and added associations name usable entries; removals hold for the
  // lists and folders that come after.
  const auto list = [](const char* group, const char* ids) {
    return std::string("[") + group + "]\nx-scheme-handler/orvotest=" + ids + "\n";
  };
  const std::string config = "config/mimeapps.list", config1 = "config1/mimeapps.list",
                    apps1 = "data1/applications/mimeapps.list",
                    apps2 = "data2/applications/mimeapps.list",
                    defaultH = list("Default Applications", "h.desktop"),
                    removeH = list("Removed Associations", "h.desktop;");
  EXPECT_TRUE(handled({{config, list("Default Applications", "plain.desktop")}, {p1, plain}}));
  EXPECT_FALSE(handled({{config, list("Default Applications", "gone.desktop;")}, {p1, plain}}));
  EXPECT_FALSE(handled({{config, defaultH}, {h1, hidden}}));
  EXPECT_TRUE(
      handled({{config1, list("Default Applications", "gone.desktop;h.desktop")}, {h2, plain}}));
  EXPECT_TRUE(
      handled({{"config2/mimeapps.list", list("Added Associations", "h.desktop;")}, {h1, plain}}));
  EXPECT_TRUE(handled({{apps2, list("Added Associations", "h.desktop")}, {h1, plain}}));
  EXPECT_FALSE(handled(
      {{config, "[Default Applications]\nx-scheme-handler/other=h.desktop\n"}, {h1, plain}}));
  EXPECT_TRUE(handled({{config, list("Removed Associations", "g.desktop")}, {h1, kHandler}}));
  EXPECT_FALSE(handled({{config, removeH}, {"config2/mimeapps.list", defaultH}, {h1, kHandler}}));
  EXPECT_TRUE(handled({{config, defaultH}, {config1, removeH}, {h1, kHandler}}));
  EXPECT_TRUE(handled({{apps2, removeH}, {h1, kHandler}}));
  EXPECT_FALSE(handled({{apps1, removeH}, {h1, kHandler}}));
  EXPECT_TRUE(handled({{config, list("Added Associations", "h.desktop") + removeH}, {h1, plain}}));
  EXPECT_TRUE(
      handled({{config, "x-scheme-handler/orvotest=h.desktop\n" + removeH}, {h1, kHandler}}));
  // The list of a current desktop, and folders from unset, empty or relative variables.
  const std::string desktopList = "config/orvo-mimeapps.list";
  EXPECT_FALSE(handled({{desktopList, defaultH}, {h1, plain}}));
  EXPECT_TRUE(
      handled({{desktopList, defaultH}, {h1, plain}}, {{"XDG_CURRENT_DESKTOP", "Other:ORVO"}}));
  // data1/applications/../orvo-mimeapps.list
  EXPECT_FALSE(handled({{"data1/orvo-mimeapps.list", defaultH}, {h1, plain}},
                       {{"XDG_CURRENT_DESKTOP", "../orvo"}}));
  const std::string homeH = "home/.local/share/applications/h.desktop";
  EXPECT_FALSE(handled({{homeH, kHandler}}));
  EXPECT_TRUE(handled({{homeH, kHandler}}, {{"XDG_DATA_HOME", nullopt}}));
  EXPECT_TRUE(handled({{homeH, kHandler}}, {{"XDG_DATA_HOME", "data"}}));
  const std::string homeList = "home/.config/mimeapps.list";
  EXPECT_TRUE(handled({{homeList, removeH}, {h1, kHandler}}));
  EXPECT_FALSE(handled({{homeList, removeH}, {h1, kHandler}}, {{"XDG_CONFIG_HOME", ""}}));
  EXPECT_FALSE(handled({{h1, kHandler}}, {{"XDG_DATA_DIRS", "data1"}}));
  EXPECT_TRUE(handled({{h1, kHandler}}, {{"XDG_DATA_DIRS", "data1:~/data1"}}));
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
