// The registry operations on large stores, through the exported functions against a suite on
// tmpfs: every operation must stay linear in the size of the store, or a hostile or merely large
// registry freezes every game of the group.
#include <OrvoModule/OrvoModule.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "platform/PropertyList.h"

namespace {

using orvo::plist::Array;
using orvo::plist::Dictionary;
using orvo::plist::Value;
namespace stdfs = std::filesystem;

// A throwaway app group on tmpfs, with the module's log sent to /dev/null.
class LargeStore {
 public:
  LargeStore() {
    char pattern[] = "/dev/shm/orvo-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    home_ = pattern;
    suite_ = home_ / "app-groups" / ORVO_APP_GROUP_IDENTIFIER / "Library" / "Preferences" /
             (std::string(ORVO_APP_GROUP_IDENTIFIER) + ".plist");
    stdfs::create_directories(suite_.parent_path());
    ::setenv("XDG_DATA_HOME", home_.c_str(), 1);
    savedStderr_ = ::dup(STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(devNull, STDERR_FILENO);
    ::close(devNull);
  }
  ~LargeStore() {
    ::dup2(savedStderr_, STDERR_FILENO);
    ::close(savedStderr_);
    std::error_code ec;
    stdfs::remove_all(home_, ec);
  }
  LargeStore(const LargeStore&) = delete;
  LargeStore& operator=(const LargeStore&) = delete;

  void write(const Dictionary& games) const {
    Dictionary root;
    root.set("GamesKey", games);
    const auto bytes = orvo::plist::writeBinaryPropertyList(root);
    if (!bytes) throw std::runtime_error("registry not written");
    std::ofstream(suite_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes->data()),
               static_cast<std::streamsize>(bytes->size()));
  }

 private:
  stdfs::path home_;
  stdfs::path suite_;
  int savedStderr_;
};

// n games with one interstitial each; "g0" holds the oldest, so that its next call runs the
// check over every game and prunes every list.
Dictionary oneEntryGames(int n) {
  Dictionary games;
  games.reserve(static_cast<std::size_t>(n));
  for (int g = 0; g < n; ++g) {
    Dictionary record;
    record.set("InterstitialsDates", Array{Value(g == 0 ? 0.0 : 1.0)});
    games.append("g" + std::to_string(g), std::move(record));
  }
  return games;
}

void BM_InterstitialAndRotation(benchmark::State& state) {
  LargeStore store;
  const Dictionary games = oneEntryGames(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    store.write(games);
    state.ResumeTiming();
    benchmark::DoNotOptimize(SetInterstitialDate("g0", 100, 95));
    std::free(SetNextGameOnFire("g0", 4e9));
  }
}
BENCHMARK(BM_InterstitialAndRotation)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A host value that is one large dictionary: the listing converts it whole.
void BM_ListingOfLargeHostValue(benchmark::State& state) {
  LargeStore store;
  Dictionary value;
  for (int k = 0; k < state.range(0); ++k) value.append("k" + std::to_string(k), Value(1.0 * k));
  Dictionary record;
  record.set("LastPlayDate", std::move(value));
  Dictionary games;
  games.set("g", std::move(record));
  store.write(games);
  for (auto _ : state) std::free(GetAllGames());
}
BENCHMARK(BM_ListingOfLargeHostValue)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
