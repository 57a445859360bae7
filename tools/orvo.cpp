// orvo: calls one entry point of the module from the command line, shows the group's store, or
// plays the demo. `orvo --help` says how.
#include <cstdio>
#include <string>
#include <vector>

#include "Demo.h"
#include "Host.h"
#include "Store.h"

namespace {

void printHelp() {
  std::printf(
      "usage: orvo [--lib PATH] ENTRY [ARGS...]   call one entry point and print its result\n"
      "       orvo store [--check | --quarantine]  show, check or heal the shared store\n"
      "       orvo [--lib PATH] demo               play a short session on a throwaway group\n"
      "       orvo --help | --version\n\n"
      "Entry points (GAME and texts as UTF-8; TIME, END, DURATION finite decimal numbers):\n%s\n"
      "Results print as a quoted text, null, 0 or 1, or \"(no result)\". The library is the one\n"
      "built beside orvo, else the installed libOrvoModule.so.1; --lib names another.\n"
      "The store is $XDG_DATA_HOME/app-groups/%s (~/.local/share when unset).\n",
      orvo::tool::entryPointHelp().c_str(), ORVO_APP_GROUP_IDENTIFIER);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string library = orvo::tool::defaultLibraryPath();
  if (args.size() >= 2 && args[0] == "--lib") {
    library = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    printHelp();
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "--version") {
    std::printf("orvo %s, app group %s\n", ORVO_VERSION, ORVO_APP_GROUP_IDENTIFIER);
    return 0;
  }
  if (args[0] == "store") {
    if (args.size() == 1) return orvo::tool::showStore();
    if (args.size() == 2 && args[1] == "--check") return orvo::tool::checkStore();
    if (args.size() == 2 && args[1] == "--quarantine") return orvo::tool::quarantineStore();
    std::fprintf(stderr, "usage: orvo store [--check | --quarantine]\n");
    return 2;
  }
  if (args[0] == "demo") return orvo::tool::runDemo(library);
  const std::optional<orvo::tool::Host> host = orvo::tool::Host::load(library);
  if (!host) return 1;
  const std::string entry = args[0];
  args.erase(args.begin());
  const std::optional<std::string> result = host->call(entry, args);
  if (!result) return 2;
  std::printf("%s\n", result->c_str());
  return 0;
}
