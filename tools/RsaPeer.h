// The other end of the payload cipher: an RSA key pair and what the holder of its private key
// does. The demo, the cipher tests and the cipher benchmark all talk to this one peer.
#ifndef ORVO_TOOLS_RSAPEER_H_
#define ORVO_TOOLS_RSAPEER_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct evp_pkey_st;

namespace orvo::peer {

using Bytes = std::vector<std::uint8_t>;

// Standard base64 on one line, and its strict reading; OpenSSL's, independent of the module's.
std::string encode64(const Bytes& data);
std::optional<Bytes> decode64(std::string_view text);

class RsaPeer {
 public:
  // A fresh key pair; throws std::runtime_error when one cannot be made.
  explicit RsaPeer(unsigned bits);

  std::size_t k() const;  // the modulus length in bytes
  Bytes spkiDer() const;
  Bytes pkcs1Der() const;
  std::string publicPem() const;  // SubjectPublicKeyInfo under the PUBLIC KEY label

  // The private-key operation: OAEP with SHA-1, or none at all on a number of k bytes.
  std::optional<Bytes> privateDecrypt(const Bytes& in, bool oaep) const;
  // What the peer reads from a base64 text the module encrypted.
  std::optional<Bytes> open(std::string_view sealed) const;
  // A number below the modulus raised to the private exponent.
  Bytes sign(const Bytes& number) const;
  // A PKCS #1 v1.5 type-1 block of the chunk: 00 01 FF... 00 chunk.
  Bytes type1(std::string_view chunk) const;
  // The message the peer sends: each chunk as a signed type-1 block, in base64.
  std::string message(std::initializer_list<std::string_view> chunks) const;

 private:
  struct Release {
    void operator()(evp_pkey_st* key) const;
  };
  std::unique_ptr<evp_pkey_st, Release> key_;
};

}  // namespace orvo::peer

#endif  // ORVO_TOOLS_RSAPEER_H_
