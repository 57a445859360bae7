// orvo: calls one entry point of the module from the command line, or plays the demo.
//
//   orvo [--lib PATH] ENTRY [ARGS...]    e.g. orvo SetInterstitialDate game.a 100 60
//   orvo [--lib PATH] demo
//
// Results print as a quoted text, null, 0 or 1, or "(no result)" for the void entry points.
#include <cstdio>
#include <string>
#include <vector>

#include "Demo.h"
#include "Host.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string library = orvo::tool::defaultLibraryPath();
  if (args.size() >= 2 && args[0] == "--lib") {
    library = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    std::fprintf(stderr, "usage: orvo [--lib PATH] ENTRY [ARGS...] | demo\n");
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
