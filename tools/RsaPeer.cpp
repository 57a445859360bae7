#include "RsaPeer.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <stdexcept>

namespace orvo::peer {
namespace {

struct ContextRelease {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_PKEY_CTX, ContextRelease>;

Bytes der(const EVP_PKEY* key, int (*write)(const EVP_PKEY*, unsigned char**)) {
  Bytes out(static_cast<std::size_t>(std::max(write(key, nullptr), 0)));
  unsigned char* cursor = out.data();
  write(key, &cursor);
  return out;
}

}  // namespace

std::string encode64(const Bytes& data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  out.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                                      data.data(), static_cast<int>(data.size()))));
  return out;
}

std::optional<Bytes> decode64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out(text.size() / 4 * 3 + 1);
  const int decoded =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (decoded < 0) return std::nullopt;
  // The decoder counts the bytes that padding stands for as well.
  const auto padding = static_cast<std::size_t>(
      std::count(text.end() - std::min<std::size_t>(2, text.size()), text.end(), '='));
  out.resize(static_cast<std::size_t>(decoded) - padding);
  return out;
}

void RsaPeer::Release::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

RsaPeer::RsaPeer(unsigned bits) : key_(EVP_RSA_gen(bits)) {
  if (!key_) throw std::runtime_error("key generation failed");
}

std::size_t RsaPeer::k() const { return static_cast<std::size_t>(EVP_PKEY_get_size(key_.get())); }
Bytes RsaPeer::spkiDer() const { return der(key_.get(), &i2d_PUBKEY); }
Bytes RsaPeer::pkcs1Der() const { return der(key_.get(), &i2d_PublicKey); }

std::string RsaPeer::publicPem() const {
  std::string body = encode64(spkiDer());
  for (std::size_t at = 64; at < body.size(); at += 65) body.insert(at, 1, '\n');
  std::string pem = "-----BEGIN PUBLIC KEY-----\n";
  return pem.append(body).append("\n-----END PUBLIC KEY-----\n");
}

std::optional<Bytes> RsaPeer::privateDecrypt(const Bytes& in, bool oaep) const {
  const Context context(EVP_PKEY_CTX_new(key_.get(), nullptr));
  std::size_t length = k();
  Bytes out(length);
  if (!context || EVP_PKEY_decrypt_init(context.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), oaep ? RSA_PKCS1_OAEP_PADDING : RSA_NO_PADDING) <=
          0 ||
      (oaep && (EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), EVP_sha1()) <= 0 ||
                EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), EVP_sha1()) <= 0)) ||
      EVP_PKEY_decrypt(context.get(), out.data(), &length, in.data(), in.size()) <= 0) {
    return std::nullopt;
  }
  out.resize(length);
  return out;
}

std::optional<Bytes> RsaPeer::open(std::string_view sealed) const {
  const std::optional<Bytes> ciphertext = decode64(sealed);
  return ciphertext ? privateDecrypt(*ciphertext, true) : std::nullopt;
}

Bytes RsaPeer::sign(const Bytes& number) const {
  std::optional<Bytes> signed_ = privateDecrypt(number, false);
  if (!signed_) throw std::runtime_error("the private-key operation failed");
  return *signed_;
}

Bytes RsaPeer::type1(std::string_view chunk) const {
  Bytes block{0, 1};
  block.insert(block.end(), k() - 3 - chunk.size(), 0xFF);
  block.push_back(0);
  block.insert(block.end(), chunk.begin(), chunk.end());
  return block;
}

std::string RsaPeer::message(std::initializer_list<std::string_view> chunks) const {
  Bytes out;
  for (const std::string_view chunk : chunks) {
    const Bytes block = sign(type1(chunk));
    out.insert(out.end(), block.begin(), block.end());
  }
  return encode64(out);
}

}  // namespace orvo::peer
