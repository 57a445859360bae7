// RSA public keys and the operations the payload cipher needs from them.
#ifndef ORVO_PLATFORM_RSA_H_
#define ORVO_PLATFORM_RSA_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The library's key and operation objects, kept opaque here.
struct evp_pkey_st;
struct evp_pkey_ctx_st;

namespace orvo {

using Bytes = std::vector<std::uint8_t>;

class PublicKey {
 public:
  // The outcome of reading key bytes: a key, or the library's reason for refusing them.
  struct Import {
    std::unique_ptr<PublicKey> key;
    std::string refusal;  // empty when a key came back
  };

  // Reads the DER of an RSA public key, either an X.509 SubjectPublicKeyInfo whose algorithm
  // is rsaEncryption or a bare PKCS #1 RSAPublicKey. Any other key type, any byte after the
  // key, and numbers RSA does not allow (a modulus that is not positive and odd, an exponent
  // that is not odd, at least 3 and below the modulus) are refused.
  static Import fromDer(std::span<const std::uint8_t> der);

  // Only fromDer makes keys: the token it passes cannot be made elsewhere.
  class Token {
    friend class PublicKey;
    Token() = default;
  };
  struct Release {
    void operator()(evp_pkey_st* key) const;
  };
  struct ReleaseContext {
    void operator()(evp_pkey_ctx_st* context) const;
  };
  PublicKey(Token, std::unique_ptr<evp_pkey_st, Release> key) : key_(std::move(key)) {}

  PublicKey(const PublicKey&) = delete;
  PublicKey& operator=(const PublicKey&) = delete;
  ~PublicKey();

  // The modulus length in bytes: the size of every block.
  std::size_t blockSize() const;

  // Whether the key can encrypt with OAEP (it is an RSA key).
  bool supportsOaepEncryption() const;

  // One RSAES-OAEP block with SHA-1, MGF1-SHA-1 and an empty label; none when the payload is
  // longer than blockSize() - 42 bytes or the library refuses.
  std::optional<Bytes> encryptOaepSha1(std::span<const std::uint8_t> payload) const;

  // m = c^e mod n with no padding scheme, c being the big-endian number the block spells (at
  // most blockSize() bytes). Gives m's big-endian bytes without leading zero bytes (none for
  // m = 0); none when c is not below the modulus or the library refuses.
  std::optional<Bytes> rawPublicOperation(std::span<const std::uint8_t> block);

 private:
  std::unique_ptr<evp_pkey_st, Release> key_;
  // Set up on the first raw operation and used for every block after it.
  std::unique_ptr<evp_pkey_ctx_st, ReleaseContext> recoverContext_;
};

}  // namespace orvo

#endif  // ORVO_PLATFORM_RSA_H_
