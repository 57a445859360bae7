// Calls one entry point between two marker system calls, for a tracer to count what the call
// alone asks of the kernel: syscall_probe <entry point> [suite to restore before the call].
// A first call beforehand makes the process's one-time work (loading, time zone, OpenSSL).
#include <OrvoModule/OrvoModule.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

namespace {

// close() of a descriptor that cannot exist: it shows in a trace as close(-4242).
void marker() { ::close(-4242); }

const std::map<std::string, std::function<void()>> kCalls = {
    {"GetRefCode", [] { std::free(GetRefCode()); }},
    {"GetUserID", [] { std::free(GetUserID()); }},
    {"GetAllGames", [] { std::free(GetAllGames()); }},
    {"GetCurrentGameOnFire", [] { std::free(GetCurrentGam\u0435OnFire()); }},
    {"SetEventDate", [] { SetEventDate(2e9); }},
    {"SetLastPlayDate", [] { SetLastPlayDate("A", 2e9); }},
    {"SetNextGameOnFire", [] { std::free(SetNextGameOnFire("A", 4e9)); }},
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
  if (argc > 2) std::filesystem::copy_file(argv[2], suite, std::filesystem::copy_options::overwrite_existing);
  marker();
  call->second();
  marker();
  return 0;
}
