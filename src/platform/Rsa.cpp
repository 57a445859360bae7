// The deprecated calls are not even declared here, so none can creep in.
#define OPENSSL_API_COMPAT 30000
#define OPENSSL_NO_DEPRECATED

#include "platform/Rsa.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <climits>

namespace orvo {
namespace {

using Context = std::unique_ptr<EVP_PKEY_CTX, PublicKey::ReleaseContext>;

// Failed calls leave their reasons on the calling thread's error queue; none of them may
// outlive the call that caused them.
class ErrorQueueScope {
 public:
  ErrorQueueScope() = default;
  ErrorQueueScope(const ErrorQueueScope&) = delete;
  ErrorQueueScope& operator=(const ErrorQueueScope&) = delete;
  ~ErrorQueueScope() { ERR_clear_error(); }

  // The reason text of the earliest queued error, the one closest to the cause; empty when none.
  static std::string earliestReason();
};

std::string reasonText(unsigned long code) {
  // The library loads its texts only when asked to, and nothing else asks.
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  const char* text = ERR_reason_error_string(code);
  return text != nullptr ? text : "unknown error";
}

std::string ErrorQueueScope::earliestReason() {
  const unsigned long code = ERR_peek_error();
  return code != 0 ? reasonText(code) : std::string();
}

std::string asn1Reason(int reason) { return reasonText(ERR_PACK(ERR_LIB_ASN1, 0, reason)); }

// OpenSSL copies from the input pointer even when there are no bytes, and a null pointer is
// undefined behaviour there.
const std::uint8_t* dataOf(std::span<const std::uint8_t> bytes) {
  static constexpr std::uint8_t kNothing = 0;
  return bytes.empty() ? &kNothing : bytes.data();
}

constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kBitString = 0x03;
constexpr std::uint8_t kNull = 0x05;
constexpr std::uint8_t kObjectIdentifier = 0x06;
// 1.2.840.113549.1.1.1
constexpr std::array<std::uint8_t, 9> kRsaEncryption = {0x2A, 0x86, 0x48, 0x86, 0xF7,
                                                        0x0D, 0x01, 0x01, 0x01};

// Reads one DER element with the expected tag from the front of `in` and moves `in` past it.
// 0, or the ASN.1 reason code that says what is wrong: lengths must be definite and minimal.
int readElement(std::span<const std::uint8_t>& in, std::uint8_t tag,
                std::span<const std::uint8_t>& contents) {
  if (in.empty()) return ASN1_R_TOO_SMALL;
  if (in.size() < 2) return ASN1_R_HEADER_TOO_LONG;
  if (in[0] != tag) return ASN1_R_WRONG_TAG;
  std::size_t length = in[1];
  std::size_t header = 2;
  if (length & 0x80) {
    const std::size_t count = length & 0x7F;
    if (count == 0) return ASN1_R_BAD_OBJECT_HEADER;  // indefinite length is not DER
    if (count > 4) return ASN1_R_HEADER_TOO_LONG;
    if (in.size() < 2 + count) return ASN1_R_HEADER_TOO_LONG;
    if (in[2] == 0) return ASN1_R_BAD_OBJECT_HEADER;  // not minimal
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | in[2 + i];
    if (length < 0x80) return ASN1_R_BAD_OBJECT_HEADER;  // the short form was due
    header += count;
  }
  if (length > in.size() - header) return ASN1_R_TOO_LONG;
  contents = in.subspan(header, length);
  in = in.subspan(header + length);
  return 0;
}

// Finds the PKCS #1 RSAPublicKey in the key bytes: they are that key themselves, or a
// SubjectPublicKeyInfo for rsaEncryption that wraps it. Walking the few outer elements here
// costs next to nothing, where the library's general SubjectPublicKeyInfo reader spends about
// a hundred times as long as the RSA key reader on the same key.
int findRsaPublicKey(std::span<const std::uint8_t> der, std::span<const std::uint8_t>& rsaKey) {
  std::span<const std::uint8_t> rest = der;
  std::span<const std::uint8_t> outer;
  if (const int reason = readElement(rest, kSequence, outer)) return reason;
  if (!rest.empty()) return ASN1_R_TOO_LONG;
  if (!outer.empty() && outer[0] == kInteger) {
    rsaKey = der;
    return 0;
  }
  std::span<const std::uint8_t> algorithm, oid, bits;
  if (const int reason = readElement(outer, kSequence, algorithm)) return reason;
  if (const int reason = readElement(algorithm, kObjectIdentifier, oid)) return reason;
  if (!std::equal(oid.begin(), oid.end(), kRsaEncryption.begin(), kRsaEncryption.end())) {
    return ASN1_R_UNSUPPORTED_PUBLIC_KEY_TYPE;
  }
  // The parameters of rsaEncryption are NULL; some encoders leave them out.
  if (!algorithm.empty()) {
    std::span<const std::uint8_t> parameters;
    if (const int reason = readElement(algorithm, kNull, parameters)) return reason;
    if (!parameters.empty()) return ASN1_R_NULL_IS_WRONG_LENGTH;
    if (!algorithm.empty()) return ASN1_R_SEQUENCE_LENGTH_MISMATCH;
  }
  if (const int reason = readElement(outer, kBitString, bits)) return reason;
  if (!outer.empty()) return ASN1_R_SEQUENCE_LENGTH_MISMATCH;
  if (bits.empty()) return ASN1_R_STRING_TOO_SHORT;
  if (bits[0] != 0) return ASN1_R_INVALID_BIT_STRING_BITS_LEFT;
  rsaKey = bits.subspan(1);
  return 0;
}

// A DER INTEGER's content without the zero bytes a sign may have put in front.
std::span<const std::uint8_t> magnitude(std::span<const std::uint8_t> integer) {
  while (!integer.empty() && integer.front() == 0) integer = integer.subspan(1);
  return integer;
}

// OpenSSL takes any two integers for a key, negative ones too. RSA allows only a positive odd
// modulus and an odd exponent from 3 up to below it; with any other the "ciphertext" is nothing
// a private key opens or, for e = 1, the padded text itself. 0, or the packed reason.
unsigned long numbersFault(std::span<const std::uint8_t> rsaKey) {
  std::span<const std::uint8_t> numbers, n, e;
  int reason = readElement(rsaKey, kSequence, numbers);
  if (reason == 0) reason = readElement(numbers, kInteger, n);
  if (reason == 0) reason = readElement(numbers, kInteger, e);
  if (reason != 0) return ERR_PACK(ERR_LIB_ASN1, 0, reason);
  if (n.empty() || (n.front() & 0x80) != 0 || (n.back() & 1) == 0) {
    return ERR_PACK(ERR_LIB_RSA, 0, RSA_R_INVALID_MODULUS);
  }
  const auto m = magnitude(n), x = magnitude(e);
  const bool belowModulus =
      x.size() < m.size() || (x.size() == m.size() &&
                              std::lexicographical_compare(x.begin(), x.end(), m.begin(), m.end()));
  if (e.empty() || (e.front() & 0x80) != 0 || (e.back() & 1) == 0 || (x.size() == 1 && x[0] == 1) ||
      !belowModulus) {
    return ERR_PACK(ERR_LIB_RSA, 0, RSA_R_BAD_E_VALUE);
  }
  return 0;
}

}  // namespace

void PublicKey::Release::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

void PublicKey::ReleaseContext::operator()(evp_pkey_ctx_st* context) const {
  EVP_PKEY_CTX_free(context);
}

PublicKey::~PublicKey() = default;

PublicKey::Import PublicKey::fromDer(std::span<const std::uint8_t> der) {
  ErrorQueueScope errors;
  std::span<const std::uint8_t> rsaKey;
  if (const int reason = findRsaPublicKey(der, rsaKey)) return {nullptr, asn1Reason(reason)};
  if (rsaKey.size() > static_cast<std::size_t>(LONG_MAX))
    return {nullptr, asn1Reason(ASN1_R_TOO_LONG)};
  const unsigned char* cursor = rsaKey.data();
  std::unique_ptr<EVP_PKEY, Release> key(
      d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(rsaKey.size())));
  if (!key) return {nullptr, ErrorQueueScope::earliestReason()};
  if (cursor != rsaKey.data() + rsaKey.size()) return {nullptr, asn1Reason(ASN1_R_TOO_LONG)};
  if (const unsigned long fault = numbersFault(rsaKey)) return {nullptr, reasonText(fault)};
  Import imported;
  imported.key = std::make_unique<PublicKey>(Token(), std::move(key));
  return imported;
}

std::size_t PublicKey::blockSize() const {
  const int size = EVP_PKEY_get_size(key_.get());
  return size > 0 ? static_cast<std::size_t>(size) : 0;
}

bool PublicKey::supportsOaepEncryption() const { return EVP_PKEY_is_a(key_.get(), "RSA") == 1; }

std::optional<Bytes> PublicKey::encryptOaepSha1(std::span<const std::uint8_t> payload) const {
  ErrorQueueScope errors;
  const Context context(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
  if (!context || EVP_PKEY_encrypt_init(context.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), EVP_sha1()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), EVP_sha1()) <= 0) {
    return std::nullopt;
  }
  std::size_t length = 0;
  if (EVP_PKEY_encrypt(context.get(), nullptr, &length, dataOf(payload), payload.size()) <= 0) {
    return std::nullopt;
  }
  Bytes ciphertext(length);
  if (EVP_PKEY_encrypt(context.get(), ciphertext.data(), &length, dataOf(payload),
                       payload.size()) <= 0) {
    return std::nullopt;
  }
  ciphertext.resize(length);
  return ciphertext;
}

std::optional<Bytes> PublicKey::rawPublicOperation(std::span<const std::uint8_t> block) {
  ErrorQueueScope errors;
  const std::size_t size = blockSize();
  if (size == 0 || block.size() > size) return std::nullopt;
  // Recovering a "signature" is the public-key operation on a number of up to the modulus
  // length, where encryption would insist on exactly that length.
  if (!recoverContext_) {
    Context context(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
    if (!context || EVP_PKEY_verify_recover_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_NO_PADDING) <= 0) {
      return std::nullopt;
    }
    recoverContext_ = std::move(context);
  }
  EVP_PKEY_CTX* context = recoverContext_.get();
  // Without padding the library writes the full modulus length whatever room it is told of,
  // so the buffer always has that much.
  Bytes number(size);
  std::size_t length = number.size();
  if (EVP_PKEY_verify_recover(context, number.data(), &length, dataOf(block), block.size()) <= 0 ||
      length > number.size()) {
    return std::nullopt;
  }
  number.resize(length);
  number.erase(number.begin(), std::find_if(number.begin(), number.end(),
                                            [](std::uint8_t byte) { return byte != 0; }));
  return number;
}

}  // namespace orvo
