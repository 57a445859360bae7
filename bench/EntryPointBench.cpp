// Every entry point beside its floor, the least its work can cost on this machine, in the same
// process on the same file: a read call against a strict read of the suite and its answer
// (Floor.h), a writer against that read under the lock and a durable write of the same bytes
// with the last good copy kept and one log line, a cipher call against the bare OpenSSL
// operations. scripts/bench.sh pairs them into ratios.
#include <OrvoModule/OrvoModule.h>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Floor.h"
#include "RsaPeer.h"
#include "platform/FileSystem.h"

namespace {

using orvo::bench::BenchStore;
using orvo::bench::typicalSuite;
using Bytes = std::vector<std::uint8_t>;
namespace floor = orvo::bench::floor;

Bytes readWhole(const orvo::bench::stdfs::path& path) { return floor::readWhole(path.c_str()); }

// A strict read and the answer, as a read call gives it.
template <typename Answer>
void readFloor(const BenchStore& store, Answer answer) {
  const Bytes bytes = readWhole(store.suite());
  floor::File file(bytes);
  if (!file.check()) throw std::runtime_error("suite refused");
  std::free(strdup(answer(file).c_str()));
}

// The same bytes put back under the lock, as a writer puts its suite back, and one log line.
void writeFloor(const BenchStore& store) {
  const std::string suite = store.suite().string();
  const int lock = ::open((suite + ".lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
  ::flock(lock, LOCK_EX);
  const Bytes bytes = readWhole(store.suite());
  if (!floor::File(bytes).check()) throw std::runtime_error("suite refused");
  floor::writeBack(suite, bytes);
  ::close(lock);
  static constexpr char kLine[] =
      "2024-01-01 00:00:00.000 entry_point_bench[1:1] --> setLastPlayDate : 2000000000.000000\n";
  benchmark::DoNotOptimize(::write(STDERR_FILENO, kLine, sizeof kLine - 1));
}

// ---- Store calls -------------------------------------------------------------------------

// The file-system calls of one more call, counted through the file layer's hook outside the
// timed rounds; the table holds each call to its budget.
std::atomic<int> fileCalls{0};

int countFileCall(const char*) {
  fileCalls.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

template <typename Call>
void countFileCalls(benchmark::State& state, Call call) {
  fileCalls = 0;
  orvo::fs::setFaultHook(countFileCall);
  call();
  orvo::fs::setFaultHook(nullptr);
  state.counters["file_calls"] = fileCalls.load();
}

orvo::plist::Value suiteFor(const benchmark::State& state) {
  return typicalSuite(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
}

template <typename Call>
void reading(benchmark::State& state, Call call) {
  BenchStore store;
  store.writeSuite(suiteFor(state));
  for (auto _ : state) call(store);
  countFileCalls(state, [&] { call(store); });
}

// Every round starts from the same file.
template <typename Call>
void writing(benchmark::State& state, const orvo::plist::Value& suite, Call call) {
  BenchStore store;
  const auto bytes = orvo::plist::writeBinaryPropertyList(suite);
  for (auto _ : state) {
    state.PauseTiming();
    store.writeSuite(*bytes);
    state.ResumeTiming();
    call(store);
  }
  store.writeSuite(*bytes);
  countFileCalls(state, [&] { call(store); });
}

void BM_RefCodeFloor(benchmark::State& state) {
  reading(state, [](const BenchStore& s) { readFloor(s, floor::refCode); });
}
void BM_AllGamesFloor(benchmark::State& state) {
  reading(state, [](const BenchStore& s) { readFloor(s, floor::allGames); });
}
void BM_OnFireFloor(benchmark::State& state) {
  reading(state, [](const BenchStore& s) { readFloor(s, floor::onFire); });
}
void BM_GetRefCode(benchmark::State& state) {
  reading(state, [](const BenchStore&) { std::free(GetRefCode()); });
}
void BM_GetAllGames(benchmark::State& state) {
  reading(state, [](const BenchStore&) { std::free(GetAllGames()); });
}
void BM_GetCurrentGameOnFire(benchmark::State& state) {
  reading(state, [](const BenchStore&) { std::free(GetCurrentGam\u0435OnFire()); });
}

void BM_WriteFloor(benchmark::State& state) { writing(state, suiteFor(state), writeFloor); }
void BM_SetLastPlayDate(benchmark::State& state) {
  writing(state, suiteFor(state),
          [](const BenchStore&) { SetLastPlayDate("com.orvo.game0", 2e9); });
}
void BM_SetNextGameOnFire(benchmark::State& state) {
  writing(state, suiteFor(state),
          [](const BenchStore&) { std::free(SetNextGameOnFire("com.orvo.game0", 4e9)); });
}
void BM_SetEventDate(benchmark::State& state) {
  writing(state, suiteFor(state), [](const BenchStore&) { SetEventDate(2e9); });
}

// The three ways through the interstitial window, game0 holding the oldest entry of all:
// its oldest inside the window (no check, no prune); the check stopped by the next game, then
// every list pruned of its first entry; every game checked, then every list emptied.
void interstitial(benchmark::State& state, double value, double duration) {
  writing(state, suiteFor(state), [=](const BenchStore&) {
    benchmark::DoNotOptimize(SetInterstitialDate("com.orvo.game0", value, duration));
  });
}
double latest(const benchmark::State& state) { return 1e9 + 10.0 * state.range(1); }
void BM_SetInterstitialDate_NoPrune(benchmark::State& state) {
  interstitial(state, latest(state), latest(state) - 1e9 + 100);
}
void BM_SetInterstitialDate_Prune(benchmark::State& state) {
  interstitial(state, latest(state), latest(state) - 1e9 - 5);
}
void BM_SetInterstitialDate_Check(benchmark::State& state) {
  interstitial(state, latest(state) + 1000, 500);
}

#define STORE_SHAPES ->Args({5, 10})->Args({50, 100})->Args({200, 500})
BENCHMARK(BM_RefCodeFloor) STORE_SHAPES;
BENCHMARK(BM_AllGamesFloor) STORE_SHAPES;
BENCHMARK(BM_OnFireFloor) STORE_SHAPES;
BENCHMARK(BM_GetRefCode) STORE_SHAPES;
BENCHMARK(BM_GetAllGames) STORE_SHAPES;
BENCHMARK(BM_GetCurrentGameOnFire) STORE_SHAPES;
BENCHMARK(BM_WriteFloor) STORE_SHAPES;
BENCHMARK(BM_SetLastPlayDate) STORE_SHAPES;
BENCHMARK(BM_SetNextGameOnFire) STORE_SHAPES;
BENCHMARK(BM_SetEventDate) STORE_SHAPES;
BENCHMARK(BM_SetInterstitialDate_NoPrune) STORE_SHAPES;
BENCHMARK(BM_SetInterstitialDate_Prune) STORE_SHAPES;
BENCHMARK(BM_SetInterstitialDate_Check) STORE_SHAPES;

// A long event log: 100,000 events and nothing else.
orvo::plist::Value longLog() {
  orvo::plist::Array events;
  for (int i = 0; i < 100000; ++i) events.emplace_back(1.7e9 + i);
  orvo::plist::Dictionary root;
  root.set("eventsDates", std::move(events));
  return root;
}
void BM_WriteFloorLongLog(benchmark::State& state) { writing(state, longLog(), writeFloor); }
void BM_SetEventDateLongLog(benchmark::State& state) {
  writing(state, longLog(), [](const BenchStore&) { SetEventDate(2e9); });
}
BENCHMARK(BM_WriteFloorLongLog);
BENCHMARK(BM_SetEventDateLongLog);

const std::string kUserData = R"({"UserID":"player-1","name":"Ada","level":12,"tags":["a","b"]})";
void BM_GetUserIDFloor(benchmark::State& state) {
  BenchStore store;
  BenchStore::writeFile(store.container() / "UserData", Bytes(kUserData.begin(), kUserData.end()));
  for (auto _ : state) {
    const Bytes bytes = readWhole(store.container() / "UserData");
    benchmark::DoNotOptimize(nlohmann::json::parse(bytes.begin(), bytes.end()));
  }
}
void BM_GetUserID(benchmark::State& state) {
  BenchStore store;
  BenchStore::writeFile(store.container() / "UserData", Bytes(kUserData.begin(), kUserData.end()));
  for (auto _ : state) std::free(GetUserID());
}
BENCHMARK(BM_GetUserIDFloor);
BENCHMARK(BM_GetUserID);

// ---- Cipher ------------------------------------------------------------------------------

struct Peer {
  explicit Peer(unsigned bits) : peer(bits), pem(peer.publicPem()), pkcs1(peer.pkcs1Der()) {}
  std::string message(int blocks) const {
    Bytes out;
    for (int i = 0; i < blocks; ++i) {
      const Bytes block = peer.sign(peer.type1("The quick brown fox jumps over the lazy dog."));
      out.insert(out.end(), block.begin(), block.end());
    }
    return orvo::peer::encode64(out);
  }
  orvo::peer::RsaPeer peer;
  std::string pem;
  Bytes pkcs1;
};

const Peer& peer(std::int64_t bits) {
  static const Peer p2048(2048), p4096(4096);
  return bits == 2048 ? p2048 : p4096;
}

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Context = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

Key importPkcs1(const Bytes& der) {
  const unsigned char* cursor = der.data();
  return Key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der.size())),
             &EVP_PKEY_free);
}

constexpr char kPlain[] = "Meet at the north gate at noon.";

void BM_GetEncryptedDataFloor(benchmark::State& state) {
  const Peer& p = peer(state.range(0));
  for (auto _ : state) {
    const Key key = importPkcs1(p.pkcs1);
    const Context context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr),
                          &EVP_PKEY_CTX_free);
    EVP_PKEY_encrypt_init(context.get());
    EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING);
    EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), EVP_sha1());
    EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), EVP_sha1());
    unsigned char block[512], text[700];
    std::size_t length = sizeof block;
    EVP_PKEY_encrypt(context.get(), block, &length, reinterpret_cast<const unsigned char*>(kPlain),
                     sizeof kPlain - 1);
    benchmark::DoNotOptimize(EVP_EncodeBlock(text, block, static_cast<int>(length)));
  }
}
void BM_GetEncryptedData(benchmark::State& state) {
  const Peer& p = peer(state.range(0));
  for (auto _ : state) std::free(GetEncryptedData(kPlain, p.pem.c_str()));
}
BENCHMARK(BM_GetEncryptedDataFloor)->Arg(2048)->Arg(4096);
BENCHMARK(BM_GetEncryptedData)->Arg(2048)->Arg(4096);

void BM_GetDecryptedDataFloor(benchmark::State& state) {
  const Peer& p = peer(state.range(0));
  const Bytes ciphertext = *orvo::peer::decode64(p.message(static_cast<int>(state.range(1))));
  const std::size_t k = p.peer.k();
  for (auto _ : state) {
    const Key key = importPkcs1(p.pkcs1);
    const Context context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr),
                          &EVP_PKEY_CTX_free);
    EVP_PKEY_verify_recover_init(context.get());
    EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_NO_PADDING);
    unsigned char number[512];
    for (std::size_t offset = 0; offset < ciphertext.size(); offset += k) {
      std::size_t length = sizeof number;
      benchmark::DoNotOptimize(
          EVP_PKEY_verify_recover(context.get(), number, &length, ciphertext.data() + offset, k));
    }
  }
}
void BM_GetDecryptedData(benchmark::State& state) {
  const Peer& p = peer(state.range(0));
  const std::string message = p.message(static_cast<int>(state.range(1)));
  for (auto _ : state) std::free(GetDecryptedData(message.c_str(), p.pem.c_str()));
}
#define CIPHER_SHAPES ->ArgsProduct({{2048, 4096}, {1, 4, 16}})
BENCHMARK(BM_GetDecryptedDataFloor) CIPHER_SHAPES;
BENCHMARK(BM_GetDecryptedData) CIPHER_SHAPES;

// ---- Probes, which have no floor of their own ------------------------------------------

void BM_CanOpenURL(benchmark::State& state) {
  const BenchStore quiet;
  for (auto _ : state) benchmark::DoNotOptimize(CanOpenURL("orvo-lobby://join"));
}
void BM_IsVPNEnabled(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(IsVPNEnabled());
}
void BM_GetStoreCode(benchmark::State& state) {
  for (auto _ : state) std::free(GetStoreCode());
}
BENCHMARK(BM_CanOpenURL);
BENCHMARK(BM_IsVPNEnabled);
BENCHMARK(BM_GetStoreCode);

}  // namespace
