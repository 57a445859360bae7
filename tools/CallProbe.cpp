// Calls one entry point between two markers, for a tool to measure what the call alone costs:
//   call_probe <entry point> [suite to restore before the call]
// The markers are close(-4242) for a system-call tracer and a toggle of callgrind's collection;
// the page faults of the call go to standard output. A first call beforehand does the process's
// one-time work (loading, time zone).
#include <OrvoModule/OrvoModule.h>
#include <sys/resource.h>
#include <unistd.h>
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

namespace {

// Releases returned text, as a host must.
void drop(char* text) {
  std::free(text);  // NOLINT(cppcoreguidelines-no-malloc): the host's side of the text rule
}

// close() of a descriptor that cannot exist: it shows in a trace as close(-4242).
void marker() {
  ::close(-4242);
  CALLGRIND_TOGGLE_COLLECT;
}

long minorFaults() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

const std::map<std::string, std::function<void()>> kCalls = {
    {"GetRefCode", [] { drop(GetRefCode()); }},
    {"GetUserID", [] { drop(GetUserID()); }},
    {"GetAllGames", [] { drop(GetAllGames()); }},
    {"GetCurrentGameOnFire", [] { drop(GetCurrentGam\u0435OnFire()); }},
    {"SetEventDate", [] { SetEventDate(2e9); }},
    {"SetLastPlayDate", [] { SetLastPlayDate("A", 2e9); }},
    {"SetNextGameOnFire", [] { drop(SetNextGameOnFire("A", 4e9)); }},
    {"SetInterstitialDate", [] { SetInterstitialDate("A", 100, 60); }},
};

}  // namespace

int main(int argc, char** argv) {
  const auto call = argc > 1 ? kCalls.find(argv[1]) : kCalls.end();
  if (call == kCalls.end()) return 2;
  const char* home = std::getenv("XDG_DATA_HOME");
  const std::filesystem::path suite = std::filesystem::path(home ? home : "") / "app-groups" /
                                      ORVO_APP_GROUP_IDENTIFIER / "Library" / "Preferences" /
                                      (std::string(ORVO_APP_GROUP_IDENTIFIER) + ".plist");
  call->second();
  if (argc > 2)
    std::filesystem::copy_file(argv[2], suite, std::filesystem::copy_options::overwrite_existing);
  const long faults = minorFaults();
  marker();
  call->second();
  marker();
  std::printf("page faults: %ld\n", minorFaults() - faults);
  return 0;
}
