// Our binary property-list codec against libplist on the same bytes: the registry of 50 games
// with 100 interstitial dates each that the module reads and rewrites on every update.
#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/plist/PropertyList.h"
#include "platform/plist/PropertyListView.h"

namespace {

using orvo::plist::Array;
using orvo::plist::Dictionary;
using orvo::plist::Value;

Value typicalRegistry() {
  Dictionary games;
  for (int g = 0; g < 50; ++g) {
    Array dates;
    dates.reserve(100);
    for (int i = 0; i < 100; ++i) dates.emplace_back(7.0e8 + g * 86400.0 + i * 613.25);
    Dictionary game;
    game.set("InterstitialsDates", std::move(dates));
    game.set("LastPlayDate", 7.1e8 + g * 31.5);
    game.set("OnFireEndDate", 7.2e8 + g * 17.25);
    char id[32];
    std::snprintf(id, sizeof id, "com.orvo.game%02d", g);
    games.set(id, std::move(game));
  }
  Array events;
  for (int i = 0; i < 20; ++i) events.emplace_back(7.0e8 + i * 3600.0);
  Dictionary root;
  root.set("GamesKey", std::move(games));
  root.set("eventsDates", std::move(events));
  root.set("OnFireGame", "com.orvo.game07");
  root.set("refCode", "A1B2C3");
  return Value(std::move(root));
}

const std::vector<std::uint8_t>& registryBytes() {
  static const std::vector<std::uint8_t> bytes = [] {
    auto written = orvo::plist::writeBinaryPropertyList(typicalRegistry());
    if (!written) throw std::runtime_error("registry not written");
    return *written;
  }();
  return bytes;
}

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistTree = std::unique_ptr<void, PlistFree>;

PlistTree libplistRead(const std::vector<std::uint8_t>& bytes) {
  plist_t root = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::uint32_t>(bytes.size()), &root);
  return PlistTree(root);
}

void OrvoRead(benchmark::State& state) {
  const auto& bytes = registryBytes();
  for (auto _ : state) {
    auto view = orvo::plist::View::read(bytes);
    benchmark::DoNotOptimize(view);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void LibplistRead(benchmark::State& state) {
  const auto& bytes = registryBytes();
  for (auto _ : state) {
    PlistTree tree = libplistRead(bytes);
    benchmark::DoNotOptimize(tree.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void OrvoWrite(benchmark::State& state) {
  const auto value = orvo::plist::readPropertyList(registryBytes());
  if (!value) {
    state.SkipWithError("registry not read");
    return;
  }
  for (auto _ : state) {
    auto bytes = orvo::plist::writeBinaryPropertyList(*value);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * registryBytes().size()));
}

void LibplistWrite(benchmark::State& state) {
  const PlistTree tree = libplistRead(registryBytes());
  if (!tree) {
    state.SkipWithError("registry not read");
    return;
  }
  for (auto _ : state) {
    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(static_cast<plist_t>(tree.get()), &out, &length);
    const std::unique_ptr<char, void (*)(char*)> owned(out, plist_to_bin_free);
    benchmark::DoNotOptimize(owned.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * registryBytes().size()));
}

}  // namespace

BENCHMARK(OrvoRead);
BENCHMARK(LibplistRead);
BENCHMARK(OrvoWrite);
BENCHMARK(LibplistWrite);
