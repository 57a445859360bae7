// Any text as the peer's message, decrypted by GetDecryptedData with one fixed RSA key, gives
// what the same steps give when the public-key operation is done on OpenSSL's big numbers:
// lenient base64, blocks of the modulus length (the last one may be shorter), each c^e mod n
// with c below n, the chunk after the first zero byte up to the next, and UTF-8 overall.
#include <OrvoModule/OrvoModule.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "cipher/Base64.h"
#include "platform/Utf8.h"

namespace {

// A 512-bit key keeps blocks short; the seed messages are signed with its private half.
constexpr std::string_view kPublicKey =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFwwDQYJKoZIhvcNAQEBBQADSwAwSAJBAMk5xOFwYwrHdPsFaDf6tNlUPcI0j67O\n"
    "SFX3M2pRw96ZZbQEBcOT19eqKPft4gNukmFBeGDRNyNaH9SFiEASDvUCAwEAAQ==\n"
    "-----END PUBLIC KEY-----\n";

struct FreeNumber {
  void operator()(BIGNUM* n) const { BN_free(n); }
};
using Number = std::unique_ptr<BIGNUM, FreeNumber>;

class PublicNumbers {
 public:
  PublicNumbers() {
    const std::unique_ptr<BIO, decltype(&BIO_free)> pem(
        BIO_new_mem_buf(kPublicKey.data(), static_cast<int>(kPublicKey.size())), &BIO_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PUBKEY(pem.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
    BIGNUM *n = nullptr, *e = nullptr;
    FUZZ_CHECK(key && EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
               EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &e) == 1);
    n_.reset(n);
    e_.reset(e);
  }

  std::optional<std::string> decrypt(std::span<const std::uint8_t> ciphertext) const {
    const std::size_t k = static_cast<std::size_t>(BN_num_bytes(n_.get()));
    const std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> context(BN_CTX_new(), &BN_CTX_free);
    std::string plain;
    for (std::size_t at = 0; at < ciphertext.size(); at += k) {
      const auto block = ciphertext.subspan(at, std::min(k, ciphertext.size() - at));
      const Number c(BN_bin2bn(block.data(), static_cast<int>(block.size()), nullptr));
      const Number m(BN_new());
      if (BN_cmp(c.get(), n_.get()) >= 0) return std::nullopt;
      FUZZ_CHECK(BN_mod_exp(m.get(), c.get(), e_.get(), n_.get(), context.get()) == 1);
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BN_num_bytes(m.get())));
      BN_bn2bin(m.get(), bytes.data());
      const auto zero = std::find(bytes.begin(), bytes.end(), 0);
      const auto start = zero == bytes.end() ? bytes.begin() : zero + 1;
      plain.append(start, std::find(start, bytes.end(), 0));
    }
    if (!orvo::isValidUtf8(plain)) return std::nullopt;
    return plain;
  }

 private:
  Number n_, e_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo::fuzz;
  static const PublicNumbers numbers;
  static const std::string key(kPublicKey);
  const std::string text(textOf(data, size));
  Returned plain;
  {
    QuietStderr quiet;
    plain.reset(GetDecryptedData(text.c_str(), key.c_str()));
  }
  // What a host passes: the text up to its first NUL.
  const std::string_view hostText(text.c_str());
  std::optional<std::string> expected;
  if (orvo::isValidUtf8(hostText)) {
    if (const auto ciphertext = orvo::base64::decodeLenient(hostText)) {
      expected = numbers.decrypt(*ciphertext);
    }
  }
  FUZZ_CHECK(expected.has_value() == (plain != nullptr));
  FUZZ_CHECK(!expected || *expected == plain.get());
  return 0;
}
