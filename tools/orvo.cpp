// orvo: calls one entry point of the module from the command line, shows or sets up the group's
// store, or plays the demo. `orvo --help` says how.
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Demo.h"
#include "Host.h"
#include "Store.h"
#include "StoreInit.h"

namespace {

// One exit-status scheme for every command, stated in the help.
constexpr int kDone = 0;
constexpr int kProblem = 1;
constexpr int kUsage = 2;

void printUsage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: orvo [--lib PATH] ENTRY [ARGS...]   call one entry point and print its result\n"
      "       orvo [--lib PATH] demo               play a short session on a throwaway group\n"
      "       orvo store [--check | --quarantine]  show, check or heal the shared store\n"
      "       orvo store init --user-id ID [--ref-code CODE] [--force] --game KEY...\n"
      "                                            set the store up as the games' installer\n"
      "       orvo --help | --version\n");
}

void printHelp() {
  printUsage(stdout);
  std::printf(
      "\nEntry points (GAME and texts as UTF-8; TIME, END, DURATION finite decimal numbers):\n%s\n"
      "Results print as a quoted text, null, 0 or 1, or \"(no result)\". The library is the one\n"
      "built beside orvo, else the installed libOrvoModule.so.1; --lib names another.\n"
      "The store is $XDG_DATA_HOME/app-groups/%s (~/.local/share when unset).\n\n"
      "store init creates the container, \"UserData\" and the registry's records under the\n"
      "suite's lock, keeping every other value; it refuses to overwrite a \"UserData\", "
      "\"refCode\"\n"
      "or game record that holds something else unless --force.\n\n"
      "Exit status: 0 done (a result printed, null and 0 included); 1 a problem (the library\n"
      "or entry point cannot be loaded, the store has none or is damaged, the check found\n"
      "something, a store command refused or failed); 2 a usage error.\n",
      orvo::tool::entryPointHelp().c_str(), ORVO_APP_GROUP_IDENTIFIER);
}

int usageError(const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "orvo: %s\n", problem.c_str());
  printUsage(stderr);
  return kUsage;
}

int storeCommand(const std::vector<std::string>& args) {
  if (args.size() >= 2 && args[1] == "init") {
    return orvo::tool::initStore(std::vector<std::string>(args.begin() + 2, args.end()));
  }
  if (args.size() == 1) return orvo::tool::showStore();
  if (args.size() == 2 && args[1] == "--check") return orvo::tool::checkStore();
  if (args.size() == 2 && args[1] == "--quarantine") return orvo::tool::quarantineStore();
  return usageError("unknown store command");
}

int callEntryPoint(const std::string& library, std::vector<std::string> args) {
  const std::optional<orvo::tool::Host> host = orvo::tool::Host::load(library);
  if (!host) return kProblem;
  const std::string entry = args[0];
  args.erase(args.begin());
  const orvo::tool::Host::Result result = host->call(entry, args);
  switch (result.status) {
    case orvo::tool::Host::Result::Status::kDone:
      std::printf("%s\n", result.printed.c_str());
      return kDone;
    case orvo::tool::Host::Result::Status::kUsage:
      return kUsage;
    case orvo::tool::Host::Result::Status::kUnavailable:
      break;
  }
  return kProblem;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string library = orvo::tool::defaultLibraryPath();
  if (!args.empty() && args[0] == "--lib") {
    if (args.size() < 2 || args[1].empty() || args[1].starts_with("-")) {
      return usageError("--lib needs the path of a library");
    }
    library = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return usageError("");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "--version") {
    if (args.size() > 1) return usageError(command + " takes no arguments");
    if (command == "--version") {
      std::printf("orvo %s, app group %s\n", ORVO_VERSION, ORVO_APP_GROUP_IDENTIFIER);
    } else {
      printHelp();
    }
    return kDone;
  }
  if (command == "store") return storeCommand(args);
  if (command == "demo") {
    if (args.size() > 1) return usageError("demo takes no arguments");
    return orvo::tool::runDemo(library);
  }
  if (command.starts_with("-")) return usageError("unknown option " + command);
  return callEntryPoint(library, std::move(args));
}
