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

// A hostile file: `count` dictionaries, each with the same eight ASCII keys of 64 KB that
// differ only in their last byte, under one array. Each dictionary is within the budgets, all
// of them together far past them: the reader must refuse it before comparing every
// dictionary's keys.
std::vector<std::uint8_t> longKeyDictionaries(std::uint32_t count) {
  constexpr std::uint32_t kKeys = 8, kKeyBytes = 65536;
  std::vector<std::uint8_t> file = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  std::vector<std::uint64_t> offsets;
  const auto put = [&file](std::uint64_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;) file.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  offsets.push_back(file.size());  // the array of every dictionary, objects 1 to count
  put(0xAF, 1), put(0x12, 1), put(count, 4);
  for (std::uint32_t i = 1; i <= count; ++i) put(i, 4);
  for (std::uint32_t i = 0; i < count; ++i) {  // keys count+1 .. count+8, values the key 1
    offsets.push_back(file.size());
    put(0xD0 | kKeys, 1);
    for (std::uint32_t k = 0; k < kKeys; ++k) put(count + 1 + k, 4);
    for (std::uint32_t k = 0; k < kKeys; ++k) put(count + 1, 4);
  }
  for (std::uint32_t k = 0; k < kKeys; ++k) {
    offsets.push_back(file.size());
    put(0x5F, 1), put(0x12, 1), put(kKeyBytes, 4);
    file.insert(file.end(), kKeyBytes - 1, 'k');
    file.push_back(static_cast<std::uint8_t>('a' + k));
  }
  const std::uint64_t table = file.size();
  for (const std::uint64_t offset : offsets) put(offset, 4);
  for (const unsigned byte : {0, 0, 0, 0, 0, 0, 4, 4}) put(byte, 1);
  put(offsets.size(), 8), put(0, 8), put(table, 8);
  return file;
}

void OrvoRefuseLongKeys(benchmark::State& state) {
  const std::vector<std::uint8_t> bytes = longKeyDictionaries(200000);
  for (auto _ : state) {
    if (orvo::plist::View::read(bytes)) state.SkipWithError("a file past its budgets was read");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

}  // namespace

BENCHMARK(OrvoRead);
BENCHMARK(LibplistRead);
BENCHMARK(OrvoWrite);
BENCHMARK(LibplistWrite);
BENCHMARK(OrvoRefuseLongKeys)->Unit(benchmark::kMillisecond);
