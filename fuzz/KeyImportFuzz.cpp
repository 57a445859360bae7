// Any text as the peer's key: the module imports only keys that OpenSSL reads alike, and only an
// imported key encrypts.
#include <OrvoModule/OrvoModule.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "DataManager.h"
#include "FuzzSupport.h"
#include "platform/Base64.h"
#include "platform/Rsa.h"
#include "platform/Utf8.h"

namespace {

// The key text without its PUBLIC KEY markers and line ends, cut as the import does.
std::string keyBody(std::string text) {
  for (const std::string_view cut :
       {"-----BEGIN PUBLIC KEY-----", "-----END PUBLIC KEY-----", "\r\n", "\n", "\r"}) {
    for (std::size_t at = 0; (at = text.find(cut, at)) != std::string::npos;) {
      text.erase(at, cut.size());
    }
  }
  return text;
}

// The size of the RSA key OpenSSL reads from all of the DER (SubjectPublicKeyInfo or PKCS #1)
// when its numbers are sane: odd modulus, odd exponent from 3 up to below it.
std::optional<std::size_t> openSslKeySize(const orvo::Bytes& der) {
  const auto length = static_cast<long>(der.size());
  const unsigned char* cursor = der.data();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(d2i_PUBKEY(nullptr, &cursor, length),
                                                          &EVP_PKEY_free);
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
  const std::unique_ptr<BIGNUM, decltype(&BN_free)> modulus(n, &BN_free), exponent(e, &BN_free);
  const bool sane = n && e && BN_is_odd(n) && BN_is_odd(e) && !BN_is_one(e) && BN_cmp(e, n) < 0;
  return sane ? std::optional<std::size_t>(EVP_PKEY_get_size(key.get())) : std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo::fuzz;
  const std::string text(textOf(data, size));
  // What a host passes: the text up to its first NUL.
  const std::string_view hostText(text.c_str());
  const auto key = quietly([&] { return DataManager::getSecKeyWithKey(text); });
  const auto hostKey = quietly([&] {
    return orvo::isValidUtf8(hostText) ? DataManager::getSecKeyWithKey(hostText) : nullptr;
  });
  const Returned sealed(quietly([&] { return GetEncryptedData("orvo payload", text.c_str()); }));
  if (key) {
    const std::optional<orvo::Bytes> der = orvo::base64::decodeStrict(keyBody(text));
    FUZZ_CHECK(der && openSslKeySize(*der) == key->blockSize());
  }
  if (sealed) {
    const std::optional<orvo::Bytes> block = orvo::base64::decodeStrict(sealed.get());
    FUZZ_CHECK(hostKey && block && block->size() == hostKey->blockSize());
  }
  return 0;
}
