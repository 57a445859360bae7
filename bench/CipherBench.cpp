// What one cipher call costs with a 2048-bit key, the key imported afresh each time, beside
// the library's general SubjectPublicKeyInfo reader that the import avoids.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "DataManager.h"
#include "RsaPeer.h"
#include "platform/Rsa.h"

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

struct Fixture {
  orvo::peer::RsaPeer peer{2048};
  orvo::peer::Bytes spki = peer.spkiDer();
  std::string pem = peer.publicPem();  // SubjectPublicKeyInfo
  // Bare PKCS #1 under the same label.
  std::string pkcs1Pem = "-----BEGIN PUBLIC KEY-----\n" + orvo::peer::encode64(peer.pkcs1Der()) +
                         "\n-----END PUBLIC KEY-----\n";
  std::string twoBlocks = peer.message({"The quick brown fox ", "jumps over the lazy dog."});
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

void BM_ImportSubjectPublicKeyInfo(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) benchmark::DoNotOptimize(DataManager::getSecKeyWithKey(f.pem));
}
BENCHMARK(BM_ImportSubjectPublicKeyInfo);

void BM_ImportPkcs1(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) benchmark::DoNotOptimize(DataManager::getSecKeyWithKey(f.pkcs1Pem));
}
BENCHMARK(BM_ImportPkcs1);

// The yardstick: the library's own reader on the same DER, without the base64 step.
void BM_LibrarySubjectPublicKeyInfoReader(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) {
    const unsigned char* cursor = f.spki.data();
    const Key key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(f.spki.size())), &EVP_PKEY_free);
    benchmark::DoNotOptimize(key.get());
  }
}
BENCHMARK(BM_LibrarySubjectPublicKeyInfoReader);

void BM_GetEncryptedData(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state)
    std::free(DataManager::getEncryptedData("Meet at the north gate at noon.", f.pem.c_str()));
}
BENCHMARK(BM_GetEncryptedData);

void BM_GetDecryptedDataTwoBlocks(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) std::free(DataManager::getDecryptedData(f.twoBlocks.c_str(), f.pem.c_str()));
}
BENCHMARK(BM_GetDecryptedDataTwoBlocks);

}  // namespace
