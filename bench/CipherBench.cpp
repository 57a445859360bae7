// What one cipher call costs with a 2048-bit key, the key imported afresh each time, beside
// the library's general SubjectPublicKeyInfo reader that the import avoids.
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "DataManager.h"
#include "platform/Rsa.h"

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

struct Fixture {
  Key key{EVP_RSA_gen(2048)};
  std::vector<unsigned char> spki;
  std::string pem;        // SubjectPublicKeyInfo
  std::string pkcs1Pem;   // bare PKCS #1 under the same label
  std::string twoBlocks;  // base64 of the peer's two type-1 blocks

  Fixture() {
    if (!key) throw std::runtime_error("key generation failed");
    spki = der(&i2d_PUBKEY);
    pem = pemOf(spki);
    pkcs1Pem = pemOf(der(&i2d_PublicKey));
    std::vector<unsigned char> blocks;
    for (const std::string chunk : {"The quick brown fox ", "jumps over the lazy dog."}) {
      const std::unique_ptr<EVP_PKEY_CTX, ContextFree> context(
          EVP_PKEY_CTX_new(key.get(), nullptr));
      std::vector<unsigned char> block(256);
      std::size_t length = block.size();
      EVP_PKEY_sign_init(context.get());
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING);
      EVP_PKEY_sign(context.get(), block.data(), &length,
                    reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size());
      blocks.insert(blocks.end(), block.begin(), block.end());
    }
    twoBlocks.resize(4 * ((blocks.size() + 2) / 3) + 1);
    twoBlocks.resize(
        static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(twoBlocks.data()),
                                                 blocks.data(), static_cast<int>(blocks.size()))));
  }

  template <typename Writer>
  std::vector<unsigned char> der(Writer write) const {
    std::vector<unsigned char> out(static_cast<std::size_t>(write(key.get(), nullptr)));
    unsigned char* cursor = out.data();
    write(key.get(), &cursor);
    return out;
  }
  static std::string pemOf(const std::vector<unsigned char>& der) {
    const std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio(bio.get(), "PUBLIC KEY", "", der.data(), static_cast<long>(der.size()));
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
  }
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
    const Key key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(f.spki.size())));
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
