#include "Store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "games/Json.h"
#include "games/Registry.h"
#include "platform/Base64.h"
#include "platform/Clock.h"
#include "platform/DefaultsSuite.h"
#include "platform/FileSystem.h"
#include "platform/plist/PropertyList.h"
#include "store/AppGroupStore.h"
#include "store/PlayerStore.h"

namespace orvo::tool {
namespace {

struct Places {
  std::string container, suite, lock, userData;
};

// Where the module looks: the same functions name them for the tool and for the games.
std::optional<Places> places() {
  const std::optional<fs::FileName> container = store::container();
  const std::optional<fs::FileName> suite = DefaultsSuite::fileOf(store::kAppGroupIdentifier);
  if (!container || !suite) return std::nullopt;
  return Places{*container, *suite, DefaultsSuite::lockFileOf(*suite),
                *container + "/" + std::string(store::kUserDataFile)};
}

// ---- The suite as an XML property list, the form plistutil shows ------------------------

std::string escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

void appendXml(std::string& out, const plist::Value& value, int depth) {
  const std::string indent(static_cast<std::size_t>(depth), '\t');
  out += indent;
  if (const auto* s = value.as<std::string>()) {
    out += "<string>" + escaped(*s) + "</string>\n";
  } else if (const auto* d = value.as<double>()) {
    char digits[32];
    out.append("<real>").append(digits, std::to_chars(digits, digits + sizeof digits, *d).ptr);
    out += "</real>\n";
  } else if (const auto* i = value.as<plist::Integer>()) {
    out += "<integer>" +
           (i->beyondInt64() ? std::to_string(i->bits()) : std::to_string(i->asSigned())) +
           "</integer>\n";
  } else if (const auto* b = value.as<bool>()) {
    out += *b ? "<true/>\n" : "<false/>\n";
  } else if (const auto* date = value.as<plist::Date>()) {
    // A stored date may be any double: one past the calendar shows as "?".
    const std::optional<UtcTime> utc = utcTimeOf(date->secondsSince2001);
    const std::string text = utc ? dateText(*utc, 'T') + "Z" : "?";
    out += std::string("<date>") + text + "</date>\n";
  } else if (const auto* data = value.as<plist::Data>()) {
    out += "<data>" + base64::encode(data->bytes) + "</data>\n";
  } else if (const auto* uid = value.as<plist::Uid>()) {
    out += "<dict><key>CF$UID</key><integer>" + std::to_string(uid->value) + "</integer></dict>\n";
  } else if (const auto* array = value.as<plist::Array>()) {
    out += "<array>\n";
    for (const plist::Value& element : *array) appendXml(out, element, depth + 1);
    out += indent + "</array>\n";
  } else if (const auto* dict = value.as<plist::Dictionary>()) {
    out += "<dict>\n";
    for (const auto& [key, element] : *dict) {
      out += indent + "\t<key>" + escaped(key) + "</key>\n";
      appendXml(out, element, depth + 1);
    }
    out += indent + "</dict>\n";
  }
}

std::string asXml(const plist::Value& root) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n";
  appendXml(out, root, 0);
  return out + "</plist>\n";
}

// ---- What each place holds ----------------------------------------------------------------

struct Suite {
  std::string state;  // for a person
  std::optional<plist::Value> root;
  bool wrong = false;    // exists, but cannot be read or is damaged
  bool damaged = false;  // read whole, but does not parse as a dictionary or is too large
};

Suite readSuite(const std::string& file) {
  fs::FileContent content = fs::readFile(file);
  switch (content.status) {
    case fs::FileContent::Status::kMissing:
      return {"not created yet: the first update of a game creates it", std::nullopt};
    case fs::FileContent::Status::kTooLarge:
      return {"is over 64 MiB: damaged", std::nullopt, true, true};
    case fs::FileContent::Status::kFailed:
      // A permission, an I/O error or something other than a file: mended where it is.
      return {
          "cannot be read (a permission, an I/O error or not a file): the games neither read "
          "nor replace it",
          std::nullopt, true, false};
    case fs::FileContent::Status::kRead:
      break;
  }
  std::optional<plist::Value> root = plist::readPropertyList(content.bytes);
  if (!root || !root->is<plist::Dictionary>()) {
    return {"does not parse as a property list of a dictionary: damaged", std::nullopt, true, true};
  }
  const bool binary = content.bytes.size() >= 8 && content.bytes[0] == 'b';
  return {std::to_string(content.bytes.size()) + " bytes, " + (binary ? "binary" : "XML") +
              " property list",
          std::move(root)};
}

std::string lockState(const Places& at) {
  const int fd = ::open(at.lock.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return errno == ENOENT ? "not created yet"
                           : std::string("cannot be opened: ") + std::strerror(errno);
  }
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  const int error = errno;
  ::close(fd);
  if (free) return "free";
  return error == EWOULDBLOCK ? "held: a game is updating the suite now"
                              : std::string("cannot be locked: ") + std::strerror(error);
}

// The identity as GetUserID reads it, or why there is none.
std::string userDataState(const Places& at, bool& wrong) {
  fs::FileContent content = fs::readFile(at.userData);
  wrong = false;
  if (content.status == fs::FileContent::Status::kMissing) {
    return "missing: GetUserID gives null until the installer writes it";
  }
  wrong = true;
  if (content.status != fs::FileContent::Status::kRead) return "cannot be read";
  const std::optional<std::string> userID = store::topLevelUserID(std::move(content.bytes));
  if (!userID) {
    return "no \"UserID\" text at the top level of a JSON document in UTF-8, -16 or -32 "
           "(GetUserID gives null)";
  }
  wrong = false;
  std::string shown = "\"UserID\" is ";
  appendJsonString(shown, *userID);
  return shown;
}

// ---- Checking -----------------------------------------------------------------------------

bool isFiniteNumber(const plist::Value& value) {
  const std::optional<double> number = value.number();
  return number && std::isfinite(*number);
}

void checkNumbers(const plist::Value* list, const std::string& where,
                  std::vector<std::string>& problems) {
  if (list == nullptr) return;
  const plist::Array* array = list->as<plist::Array>();
  if (array == nullptr) {
    problems.push_back(where + " is not a list");
    return;
  }
  for (std::size_t i = 0; i < array->size(); ++i) {
    if (!isFiniteNumber((*array)[i])) {
      problems.push_back(where + "[" + std::to_string(i) + "] is not a finite number");
    }
  }
}

std::vector<std::string> suiteProblems(const plist::Dictionary& suite) {
  std::vector<std::string> problems;
  if (const plist::Value* refCode = suite.find(store::kRefCodeKey);
      refCode && !refCode->is<std::string>()) {
    problems.emplace_back("refCode is not text (GetRefCode gives null)");
  }
  checkNumbers(suite.find(store::kEventsDatesKey), std::string(store::kEventsDatesKey), problems);
  const plist::Value* stored = suite.find(games::kGamesKey);
  if (stored == nullptr) return problems;
  const plist::Dictionary* registry = stored->as<plist::Dictionary>();
  if (registry == nullptr) {
    problems.emplace_back("GamesKey is not a dictionary (every registry call does nothing)");
    return problems;
  }
  for (const auto& [key, value] : *registry) {
    const std::string where = "GamesKey[\"" + key + "\"]";
    const plist::Dictionary* record = value.as<plist::Dictionary>();
    if (record == nullptr) {
      problems.push_back(where + " is not a dictionary (no call can change it)");
      continue;
    }
    for (const std::string_view field : {games::kLastPlayDateKey, games::kOnFireEndDateKey}) {
      const plist::Value* number = record->find(field);
      if (number && !isFiniteNumber(*number)) {
        problems.push_back(where + "." + std::string(field) + " is not a finite number");
      }
    }
    checkNumbers(record->find(games::kInterstitialsDatesKey),
                 where + "." + std::string(games::kInterstitialsDatesKey), problems);
  }
  return problems;
}

// The last good copy and the damaged copies beside the suite, one line each.
void showCopies(const Places& at) {
  const std::string lastGood = DefaultsSuite::lastGoodCopyOf(at.suite);
  const Suite copy = readSuite(lastGood);
  std::printf("last good  %s\n           %s\n", lastGood.c_str(),
              copy.root    ? copy.state.c_str()
              : copy.wrong ? ("damaged or unreadable: " + copy.state).c_str()
                           : "none yet: the first update that replaces the suite keeps one");
  const auto damaged = DefaultsSuite::damagedCopiesOf(at.suite);
  if (!damaged) {
    std::printf("damaged    the folder cannot be read\n");
    return;
  }
  if (damaged->empty()) std::printf("damaged    none\n");
  for (const std::string& name : *damaged) std::printf("damaged    %s\n", name.c_str());
}

}  // namespace

int showStore() {
  const std::optional<Places> at = places();
  if (!at) {
    std::printf("no container: neither XDG_DATA_HOME nor HOME names a folder\n");
    return 1;
  }
  const std::optional<bool> container = fs::isDirectory(at->container);
  std::printf("container  %s\n           %s\n", at->container.c_str(),
              !container   ? "cannot be examined: every call gives its no-value result"
              : *container ? "exists"
                           : "missing: the games' installer creates it; every call gives "
                             "its no-value result until then");
  if (!container.value_or(false)) return 1;
  const Suite suite = readSuite(at->suite);
  bool wrong = false;
  std::printf(
      "suite      %s\n           %s%s\n", at->suite.c_str(), suite.state.c_str(),
      suite.damaged ? " (the games read its last good copy; the next update heals it)" : "");
  showCopies(*at);
  std::printf("lock       %s\n           %s\n", at->lock.c_str(), lockState(*at).c_str());
  std::printf("UserData   %s\n           %s\n", at->userData.c_str(),
              userDataState(*at, wrong).c_str());
  if (!suite.root) return 0;
  const plist::Dictionary& values = *suite.root->as<plist::Dictionary>();
  const plist::Value* stored = values.find(games::kGamesKey);
  if (stored == nullptr) {
    std::printf(
        "registry   none: no \"GamesKey\"; the registry calls do nothing until the "
        "installer adds it\n");
  } else if (const plist::Dictionary* registry = stored->as<plist::Dictionary>()) {
    std::printf("registry   %zu game(s)\n", registry->size());
  }
  std::printf("\n%s", asXml(*suite.root).c_str());
  return 0;
}

int checkStore() {
  const std::optional<Places> at = places();
  if (!at || !fs::isDirectory(at->container).value_or(false)) {
    std::printf("no container: the games' installer creates it\n");
    return 1;
  }
  const Suite suite = readSuite(at->suite);
  std::vector<std::string> problems;
  if (suite.root) problems = suiteProblems(*suite.root->as<plist::Dictionary>());
  if (suite.wrong) problems.push_back("the suite " + suite.state);
  bool wrong = false;
  const std::string userData = userDataState(*at, wrong);
  if (wrong) problems.push_back("UserData: " + userData);
  for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
  if (problems.empty()) std::printf("ok\n");
  return problems.empty() ? 0 : 1;
}

int quarantineStore() {
  const std::optional<Places> at = places();
  if (!at || !fs::isDirectory(at->container).value_or(false)) {
    std::printf("no container: nothing to heal\n");
    return 1;
  }
  const DefaultsSuite::HealReport report = DefaultsSuite::heal(store::kAppGroupIdentifier);
  switch (report.outcome) {
    case DefaultsSuite::Heal::kHealed:
      std::printf("kept the damaged suite as %s; %s took its place\n", report.damagedCopy.c_str(),
                  report.restored ? "its last good copy" : "an empty suite");
      return 0;
    case DefaultsSuite::Heal::kNotDamaged:
      std::printf("the suite is not damaged: nothing to heal\n");
      break;
    case DefaultsSuite::Heal::kUnreadable:
      std::printf(
          "the suite cannot be read where it is (a permission or an I/O error): "
          "nothing moved\n");
      break;
    case DefaultsSuite::Heal::kFresh:
      std::printf(
          "the damaged suite was modified less than 2 s ago and may still be being "
          "written: try again\n");
      break;
    case DefaultsSuite::Heal::kFailed:
      std::printf(
          "the suite could not be healed (its lock or a file operation failed): try "
          "again when no game is updating\n");
      break;
  }
  return 1;
}

}  // namespace orvo::tool
