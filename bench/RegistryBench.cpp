// The registry operations on large stores, through the exported functions against a suite on
// tmpfs: every operation must stay linear in the size of the store, or a hostile or merely large
// registry freezes every game of the group.
#include <OrvoModule/OrvoModule.h>
#include <benchmark/benchmark.h>

#include <string>

#include "BenchSupport.h"
#include "platform/plist/PropertyList.h"

namespace {

using orvo::bench::BenchStore;
using orvo::plist::Array;
using orvo::plist::Dictionary;
using orvo::plist::Value;

orvo::plist::Value suiteOf(const Dictionary& games) {
  Dictionary root;
  root.set("GamesKey", games);
  return root;
}

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
  BenchStore store;
  const Dictionary games = oneEntryGames(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    store.writeSuite(suiteOf(games));
    state.ResumeTiming();
    benchmark::DoNotOptimize(SetInterstitialDate("g0", 100, 95));
    std::free(SetNextGameOnFire("g0", 4e9));
  }
}
BENCHMARK(BM_InterstitialAndRotation)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A host value that is one large dictionary: the listing converts it whole.
void BM_ListingOfLargeHostValue(benchmark::State& state) {
  BenchStore store;
  Dictionary value;
  for (int k = 0; k < state.range(0); ++k) value.append("k" + std::to_string(k), Value(1.0 * k));
  Dictionary record;
  record.set("LastPlayDate", std::move(value));
  Dictionary games;
  games.set("g", std::move(record));
  store.writeSuite(suiteOf(games));
  for (auto _ : state) std::free(GetAllGames());
}
BENCHMARK(BM_ListingOfLargeHostValue)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
