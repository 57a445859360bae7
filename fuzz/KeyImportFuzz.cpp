// Any text as the peer's key, through the whole import (getSecKeyWithKey) and through
// GetEncryptedData and GetDecryptedData. The module accepts no key that OpenSSL's general
// readers refuse, read with another size or with numbers RSA does not allow, and only an
// imported key encrypts, to one block in base64, or decrypts, to UTF-8.
#include <OrvoModule/OrvoModule.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>

#include "DataManager.h"
#include "FuzzSupport.h"
#include "cipher/Base64.h"
#include "platform/Rsa.h"
#include "platform/Utf8.h"

namespace {

constexpr const char* kPayload = "orvo payload";
constexpr const char* kCiphertext = "AQID";  // the number 0x010203, a short last block

struct FreeKey {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using OpenSslKey = std::unique_ptr<EVP_PKEY, FreeKey>;

// The key text with the PUBLIC KEY markers and line ends taken out, each kind in one pass from
// left to right, as the import does.
std::string keyBody(std::string text) {
  for (const std::string_view cut :
       {"-----BEGIN PUBLIC KEY-----", "-----END PUBLIC KEY-----", "\r\n", "\n", "\r"}) {
    for (std::size_t at = 0; (at = text.find(cut, at)) != std::string::npos;) {
      text.erase(at, cut.size());
    }
  }
  return text;
}

struct FreeNumber {
  void operator()(BIGNUM* n) const { BN_free(n); }
};
using Number = std::unique_ptr<BIGNUM, FreeNumber>;

// The size of the RSA key OpenSSL reads from all of the DER, as SubjectPublicKeyInfo or as a
// bare PKCS #1 key; none when it reads neither, or when its numbers break RSA's rules (an odd
// modulus, an odd exponent from 3 up to below it) as far as the library shows them, without
// their signs.
std::optional<std::size_t> openSslKeySize(const orvo::Bytes& der) {
  const long length = static_cast<long>(der.size());
  const unsigned char* cursor = der.data();
  OpenSslKey key(d2i_PUBKEY(nullptr, &cursor, length));
  if (!key || cursor != der.data() + der.size()) {
    cursor = der.data();
    key.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, length));
  }
  if (!key || cursor != der.data() + der.size() || EVP_PKEY_is_a(key.get(), "RSA") != 1) {
    return std::nullopt;
  }
  BIGNUM *n = nullptr, *e = nullptr;
  EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n);
  EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &e);
  const Number modulus(n), exponent(e);
  if (!n || !e || !BN_is_odd(n) || !BN_is_odd(e) || BN_is_one(e) || BN_cmp(e, n) >= 0) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(EVP_PKEY_get_size(key.get()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo::fuzz;
  const std::string text(textOf(data, size));
  // What a host passes: the text up to its first NUL.
  const std::string_view hostText(text.c_str());
  std::unique_ptr<orvo::PublicKey> key, hostKey;
  Returned sealed, opened;
  {
    QuietStderr quiet;
    key = DataManager::getSecKeyWithKey(text);
    if (orvo::isValidUtf8(hostText)) hostKey = DataManager::getSecKeyWithKey(hostText);
    sealed.reset(GetEncryptedData(kPayload, text.c_str()));
    opened.reset(GetDecryptedData(kCiphertext, text.c_str()));
  }
  if (key) {
    const std::optional<orvo::Bytes> der = orvo::base64::decodeStrict(keyBody(text));
    FUZZ_CHECK(der.has_value());
    FUZZ_CHECK(openSslKeySize(*der) == key->blockSize());
  }
  if (sealed) {
    FUZZ_CHECK(hostKey != nullptr);
    const std::optional<orvo::Bytes> block = orvo::base64::decodeStrict(sealed.get());
    FUZZ_CHECK(block && block->size() == hostKey->blockSize());
  }
  FUZZ_CHECK(!opened || (hostKey && orvo::isValidUtf8(opened.get())));
  return 0;
}
