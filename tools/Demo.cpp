#include "Demo.h"

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Host.h"
#include "RsaPeer.h"

namespace orvo::tool {
namespace {

namespace stdfs = std::filesystem;

// The store as a game of the group leaves it: identity file, referral code, three games.
constexpr const char kUserData[] = R"({"UserID": "player-7f3a", "name": "Demo Player"})";
constexpr const char kSuite[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>refCode</key><string>ORVO-2026</string>
  <key>GamesKey</key>
  <dict>
    <key>com.orvo.alpha</key><dict><key>LastPlayDate</key><real>1764950400</real></dict>
    <key>com.orvo.beta</key><dict/>
    <key>com.orvo.gamma</key><dict><key>LastPlayDate</key><real>1764864000</real></dict>
  </dict>
</dict>
</plist>
)";

// A temporary data home holding the group's container; removed with everything in it.
class ThrowawayAppGroup {
 public:
  ThrowawayAppGroup() {
    char pattern[] = "/tmp/orvo-demo-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    root_ = pattern;
    container_ = root_ / "app-groups" / ORVO_APP_GROUP_IDENTIFIER;
    stdfs::create_directories(container_ / "Library" / "Preferences");
    ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
  }
  ThrowawayAppGroup(const ThrowawayAppGroup&) = delete;
  ThrowawayAppGroup& operator=(const ThrowawayAppGroup&) = delete;
  ~ThrowawayAppGroup() {
    std::error_code ec;
    if (!root_.empty()) stdfs::remove_all(root_, ec);
  }
  bool ready() const { return !root_.empty(); }
  const stdfs::path& container() const { return container_; }
  void write(const stdfs::path& relative, const std::string& content) const {
    std::ofstream(container_ / relative, std::ios::binary) << content;
  }
  // A file of the throwaway data home itself, outside the group's container.
  void writeDataFile(const stdfs::path& relative, const std::string& content) const {
    stdfs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative, std::ios::binary) << content;
  }

 private:
  stdfs::path root_;
  stdfs::path container_;
};

std::string secondsFromNow(double seconds) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", std::chrono::duration<double>(now).count() + seconds);
  return text;
}

bool step(const Host& host, const std::string& entry, const std::vector<std::string>& args) {
  std::string shown = entry + "(";
  for (std::size_t i = 0; i < args.size(); ++i) shown += (i ? ", " : "") + args[i];
  shown += ")";
  std::vector<std::string> logLines;
  const Host::Result result = host.call(entry, args, &logLines);
  if (!result.done()) return false;
  std::printf("> %s\n  = %s\n", shown.c_str(), result.printed.c_str());
  for (const std::string& line : logLines) std::printf("  log: %s\n", line.c_str());
  return true;
}

// A text returned by the host as printed: quoted. Base64 holds nothing that needs escaping.
std::string unquoted(const std::string& printed) {
  return printed.size() >= 2 && printed.front() == '"' ? printed.substr(1, printed.size() - 2)
                                                       : printed;
}

bool cipherSession(const Host& host, const peer::RsaPeer* peer) {
  const std::string key = peer->publicPem();
  std::printf("\nPayload cipher, with a 2048-bit key pair made for the demo as the peer's\n");

  const std::string text = "Meet at the north gate at noon.";
  const Host::Result sealed = host.call("GetEncryptedData", {text, key});
  if (!sealed.done()) return false;
  std::printf("> GetEncryptedData(\"%s\", <public key>)\n  = %s\n", text.c_str(),
              sealed.printed.c_str());
  const std::optional<peer::Bytes> read = peer->open(unquoted(sealed.printed));
  std::printf("  the peer reads: \"%s\"\n",
              read ? std::string(read->begin(), read->end()).c_str() : "(nothing)");

  const std::string message = peer->message({"The north gate is closed; ", "take the river path."});
  const Host::Result opened = host.call("GetDecryptedData", {message, key});
  if (!opened.done()) return false;
  std::printf("> GetDecryptedData(<the peer's two blocks, %zu characters>, <public key>)\n  = %s\n",
              message.size(), opened.printed.c_str());
  return true;
}

bool cipherSession(const Host& host) {
  try {
    const peer::RsaPeer peer(2048);
    return cipherSession(host, &peer);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvo: the cipher peer failed: %s\n", e.what());
    return false;
  }
}

}  // namespace

int runDemo(const std::string& libraryPath) {
  const std::optional<Host> host = Host::load(libraryPath);
  if (!host) return 1;
  ThrowawayAppGroup group;
  if (!group.ready()) {
    std::fprintf(stderr, "orvo: cannot create a temporary app group\n");
    return 1;
  }
  group.write("UserData", kUserData);
  group.write(
      stdfs::path("Library") / "Preferences" / (std::string(ORVO_APP_GROUP_IDENTIFIER) + ".plist"),
      kSuite);
  // An installed application, as far as the URL probe can tell, that opens orvo-lobby links.
  group.writeDataFile(stdfs::path("applications") / "orvo-lobby.desktop",
                      "[Desktop Entry]\nType=Application\nName=Orvo Lobby\nExec=true %u\n"
                      "MimeType=x-scheme-handler/orvo-lobby;\n");
  std::printf("App group %s in %s\n\n", ORVO_APP_GROUP_IDENTIFIER, group.container().c_str());

  const std::vector<std::pair<std::string, std::vector<std::string>>> session = {
      {"GetUserID", {}},
      {"GetRefCode", {}},
      {"SetEventDate", {"1765000000"}},
      {"SetEventDate", {"1765000042.5"}},
      // Two games show interstitials; a window of 60 decides whether another may follow.
      {"SetInterstitialDate", {"com.orvo.alpha", "1000", "60"}},
      {"SetInterstitialDate", {"com.orvo.beta", "1030", "60"}},
      {"SetInterstitialDate", {"com.orvo.alpha", "1100", "60"}},
      {"SetInterstitialDate", {"com.orvo.beta", "1120", "60"}},
      {"SetInterstitialDate", {"com.orvo.alpha", "1170", "60"}},
      // The on-fire period goes to the game whose last interstitial is the oldest.
      {"GetCurrentGameOnFire", {}},
      {"SetNextGameOnFire", {"com.orvo.alpha", secondsFromNow(3600)}},
      {"GetCurrentGameOnFire", {}},
      {"SetNextGameOnFire", {"com.orvo.gamma", secondsFromNow(7200)}},
      {"GetCurrentGameOnFire", {}},
      {"SetLastPlayDate", {"com.orvo.beta", secondsFromNow(0)}},
      {"GetAllGames", {}},
      // The device probes: a scheme the demo's own lobby handles, a web link and no URL at
      // all; then a tunnel interface and the storefront country of this machine.
      {"CanOpenURL", {"orvo-lobby://play?game=com.orvo.beta"}},
      {"CanOpenURL", {"https://www.example.com/"}},
      {"CanOpenURL", {"not a url"}},
      {"IsVPNEnabled", {}},
      {"GetStoreCode", {}},
  };
  for (const auto& [entry, args] : session) {
    if (!step(*host, entry, args)) return 1;
  }
  if (!cipherSession(*host)) return 1;
  return 0;
}

}  // namespace orvo::tool
