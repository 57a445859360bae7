#include "StoreInit.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "games/Json.h"
#include "games/Registry.h"
#include "platform/DefaultsSuite.h"
#include "platform/FileSystem.h"
#include "platform/Utf8.h"
#include "platform/plist/PropertyList.h"
#include "store/AppGroupStore.h"
#include "store/PlayerStore.h"

namespace orvo::tool {
namespace {

constexpr char kUsage[] =
    "usage: orvo store init --user-id ID [--ref-code CODE] [--force] --game KEY...\n";

struct Request {
  std::string userID;
  std::optional<std::string> refCode;
  std::vector<std::string> games;
  bool force = false;
};

int usageError(const std::string& problem) {
  std::fprintf(stderr, "orvo store init: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

// A value as the games compare it: exact bytes, so it must be UTF-8 and not empty.
bool acceptable(std::string_view value) { return !value.empty() && isValidUtf8(value); }

// The request, or the reason it is not one.
std::pair<std::optional<Request>, std::string> parse(const std::vector<std::string>& args) {
  Request request;
  bool haveUserID = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--force") {
      request.force = true;
    } else if (option == "--game") {
      const std::size_t first = i + 1;
      while (i + 1 < args.size() && !args[i + 1].starts_with("--"))
        request.games.push_back(args[++i]);
      if (i + 1 == first) return {std::nullopt, "--game needs at least one KEY"};
    } else if (option == "--user-id" || option == "--ref-code") {
      if (i + 1 == args.size()) return {std::nullopt, option + " needs a value"};
      std::string value = args[++i];
      if (option == "--user-id") {
        if (haveUserID) return {std::nullopt, "--user-id given twice"};
        request.userID = std::move(value);
        haveUserID = true;
      } else {
        if (request.refCode) return {std::nullopt, "--ref-code given twice"};
        request.refCode = std::move(value);
      }
    } else {
      return {std::nullopt, "unknown argument " + option};
    }
  }
  if (!haveUserID) return {std::nullopt, "--user-id is required"};
  if (request.games.empty()) return {std::nullopt, "--game is required"};
  std::vector<std::string_view> values = {request.userID};
  if (request.refCode) values.push_back(*request.refCode);
  values.insert(values.end(), request.games.begin(), request.games.end());
  for (const std::string_view value : values) {
    if (!acceptable(value)) return {std::nullopt, "every value must be non-empty UTF-8 text"};
  }
  return {std::move(request), ""};
}

std::string jsonText(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

// What the command decided under the lock, reported once the lock is released.
struct Outcome {
  std::vector<std::string> done;       // one line per place, for the person
  std::vector<std::string> conflicts;  // values that --force would overwrite
  std::string failure;                 // why nothing (or not all) was written
};

// The UserData decision: the bytes to write, or none to keep the file as it is.
std::optional<std::string> planUserData(const Request& request, const fs::FileContent& current,
                                        Outcome& outcome) {
  const std::string wanted = "{\"UserID\":" + jsonText(request.userID) + "}\n";
  if (current.status == fs::FileContent::Status::kMissing) {
    outcome.done.push_back("UserData   \"UserID\" " + jsonText(request.userID) + ": written");
    return wanted;
  }
  std::optional<std::string> stored;
  if (current.status == fs::FileContent::Status::kRead) {
    stored = store::topLevelUserID(current.bytes);
    if (stored == request.userID) {
      outcome.done.push_back("UserData   \"UserID\" " + jsonText(request.userID) + ": kept");
      return std::nullopt;
    }
  }
  if (!request.force) {
    outcome.conflicts.push_back(current.status == fs::FileContent::Status::kFailed
                                    ? "UserData cannot be read"
                                : stored ? "UserData holds the \"UserID\" " + jsonText(*stored)
                                         : "UserData holds no \"UserID\" text");
    return std::nullopt;
  }
  outcome.done.push_back("UserData   \"UserID\" " + jsonText(request.userID) + ": overwritten");
  return wanted;
}

// Sets refCode and the games' records in the suite, or notes what stands in the way.
void planSuite(const Request& request, DefaultsSuite& suite, Outcome& outcome) {
  if (request.refCode) {
    const plist::Object stored = suite.objectForKey(store::kRefCodeKey);
    const std::optional<std::string> text = stored.string();
    if (text && *text == *request.refCode) {
      outcome.done.push_back("refCode    " + jsonText(*request.refCode) + ": kept");
    } else if (stored && !request.force) {
      outcome.conflicts.push_back(text ? "refCode is " + jsonText(*text) : "refCode is not text");
    } else {
      suite.setObject(store::kRefCodeKey, *request.refCode);
      outcome.done.push_back("refCode    " + jsonText(*request.refCode) + ": set");
    }
  }
  // A tree copy: the tool changes a few records of a registry that a game may have filled.
  const std::optional<plist::Value> storedGames = suite.valueForKey(games::kGamesKey);
  plist::Dictionary games;
  if (const plist::Dictionary* registry =
          storedGames ? storedGames->as<plist::Dictionary>() : nullptr) {
    games = *registry;
  } else if (storedGames && !request.force) {
    outcome.conflicts.emplace_back("GamesKey is not a dictionary");
    return;
  }
  bool changed = !storedGames || !storedGames->is<plist::Dictionary>();
  for (const std::string& game : request.games) {
    const plist::Value* record = games.find(game);
    const plist::Dictionary* fields = record ? record->as<plist::Dictionary>() : nullptr;
    if (fields && fields->empty()) {
      outcome.done.push_back("game       " + jsonText(game) + ": kept");
      continue;
    }
    if (record && !request.force) {
      outcome.conflicts.push_back("GamesKey[" + jsonText(game) + "] holds a record with values");
      continue;
    }
    games.set(game, plist::Dictionary());
    changed = true;
    outcome.done.push_back("game       " + jsonText(game) + (record ? ": emptied" : ": added"));
  }
  if (changed) suite.setObject(games::kGamesKey, std::move(games));
}

}  // namespace

int initStore(const std::vector<std::string>& args) {
  const std::pair<std::optional<Request>, std::string> parsed = parse(args);
  if (!parsed.first) return usageError(parsed.second);
  const Request& request = *parsed.first;
  const std::optional<fs::FileName> container = store::container();
  // The container's path is absolute: every missing folder of it below the root is made.
  if (!container || !fs::createDirectoriesBelow("", std::string_view(*container).substr(1))) {
    std::fprintf(
        stderr, "orvo store init: the container %s cannot be created\n",
        container ? container->c_str() : "(neither XDG_DATA_HOME nor HOME names a folder)");
    return 1;
  }
  const fs::FileName userDataFile = *container + "/" + std::string(store::kUserDataFile);
  Outcome outcome;
  // Under the suite's lock, which also keeps two installers from writing UserData at once.
  const bool stored = store::updateSuite([&](DefaultsSuite& suite) {
    const fs::FileContent current = fs::readFile(userDataFile);
    const std::optional<std::string> userData = planUserData(request, current, outcome);
    planSuite(request, suite, outcome);
    if (!outcome.conflicts.empty()) return false;
    // The suite first: when it cannot be written, nothing is.
    if (!suite.synchronize()) {
      outcome.failure = "the suite could not be written: nothing changed";
      return false;
    }
    if (userData) {
      const std::string& bytes = *userData;
      const std::optional<mode_t> permissions = current.status == fs::FileContent::Status::kRead
                                                    ? std::optional(current.permissions)
                                                    : std::nullopt;
      if (!fs::replaceFileAtomically(
              userDataFile,
              std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
              permissions)) {
        outcome.failure =
            "UserData could not be written (the suite was): run the same command again";
        return false;
      }
    }
    return true;
  });
  if (!outcome.conflicts.empty()) {
    std::fprintf(stderr, "orvo store init: refused, nothing written (--force overwrites):\n");
    for (const std::string& conflict : outcome.conflicts) {
      std::fprintf(stderr, "  %s\n", conflict.c_str());
    }
    return 1;
  }
  if (!stored) {
    std::fprintf(stderr, "orvo store init: %s\n",
                 !outcome.failure.empty()
                     ? outcome.failure.c_str()
                     : "the suite cannot be read or its lock could not be had: nothing "
                       "written (orvo store shows its state)");
    return 1;
  }
  std::printf("container  %s\n", container->c_str());
  for (const std::string& line : outcome.done) std::printf("%s\n", line.c_str());
  return 0;
}

}  // namespace orvo::tool
