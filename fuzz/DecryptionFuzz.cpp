// GetDecryptedData with one fixed key agrees on any message with the same steps done on
// OpenSSL's big numbers.
#include <OrvoModule/OrvoModule.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <vector>

#include "FuzzSupport.h"
#include "platform/Base64.h"
#include "platform/Utf8.h"

namespace {

// A 512-bit key keeps blocks short; the seed messages are signed with its private half.
constexpr const char* kPublicKey =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFwwDQYJKoZIhvcNAQEBBQADSwAwSAJBAMk5xOFwYwrHdPsFaDf6tNlUPcI0j67O\n"
    "SFX3M2pRw96ZZbQEBcOT19eqKPft4gNukmFBeGDRNyNaH9SFiEASDvUCAwEAAQ==\n"
    "-----END PUBLIC KEY-----\n";

// The key's modulus and exponent, and room to compute, kept for the whole run.
BIGNUM *n = nullptr, *e = nullptr, *c = BN_new(), *m = BN_new();
BN_CTX* context = BN_CTX_new();

// Lenient base64; blocks of the modulus length, the last maybe shorter; each c^e mod n with c
// below n; of each, the bytes after the first zero up to the next; UTF-8 overall.
std::optional<std::string> expectedPlain(std::string_view text) {
  const auto ciphertext =
      orvo::isValidUtf8(text) ? orvo::base64::decodeLenient(text) : std::nullopt;
  if (!ciphertext) return std::nullopt;
  const std::size_t k = static_cast<std::size_t>(BN_num_bytes(n));
  std::string plain;
  for (std::size_t at = 0; at < ciphertext->size(); at += k) {
    const auto length = static_cast<int>(std::min(k, ciphertext->size() - at));
    BN_bin2bn(ciphertext->data() + at, length, c);
    if (BN_cmp(c, n) >= 0) return std::nullopt;
    FUZZ_CHECK(BN_mod_exp(m, c, e, n, context) == 1);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BN_num_bytes(m)));
    BN_bn2bin(m, bytes.data());
    const auto zero = std::find(bytes.begin(), bytes.end(), 0);
    const auto start = zero == bytes.end() ? bytes.begin() : zero + 1;
    plain.append(start, std::find(start, bytes.end(), 0));
  }
  if (!orvo::isValidUtf8(plain)) return std::nullopt;
  return plain;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  BIO* pem = BIO_new_mem_buf(kPublicKey, -1);
  EVP_PKEY* key = PEM_read_bio_PUBKEY(pem, nullptr, nullptr, nullptr);
  FUZZ_CHECK(c && m && context && key &&
             EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
             EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1);
  EVP_PKEY_free(key);
  BIO_free(pem);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo::fuzz;
  const std::string text(textOf(data, size));
  const Returned plain(quietly([&] { return GetDecryptedData(text.c_str(), kPublicKey); }));
  // What a host passes: the text up to its first NUL.
  const std::optional<std::string> expected = expectedPlain(text.c_str());
  FUZZ_CHECK(expected ? plain && *expected == plain.get() : !plain);
  return 0;
}
