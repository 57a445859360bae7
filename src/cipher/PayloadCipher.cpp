// Texts exchanged with the peer that holds the private key: one OAEP block toward it, blocks
// of its raw private-key operation back from it.
#include <algorithm>
#include <string>

#include "cipher/Cipher.h"
#include "platform/Base64.h"
#include "platform/Utf8.h"

namespace orvo::cipher {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string_view textOf(const Bytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::optional<Bytes> encrypt(std::span<const std::uint8_t> payload, std::string_view keyText) {
  const std::unique_ptr<PublicKey> key = secKeyWithKey(keyText);
  if (!key || key->blockSize() == 0 || !key->supportsOaepEncryption()) return std::nullopt;
  // Never split: a payload beyond one OAEP block is refused by the encryption itself.
  return key->encryptOaepSha1(payload);
}

std::optional<Bytes> decrypt(std::span<const std::uint8_t> ciphertext, std::string_view keyText) {
  const std::unique_ptr<PublicKey> key = secKeyWithKey(keyText);
  if (!key) return std::nullopt;
  const std::size_t blockSize = key->blockSize();
  if (blockSize == 0) return std::nullopt;
  Bytes payload;
  // A last piece shorter than a block is the number it spells, like any block.
  for (std::size_t offset = 0; offset < ciphertext.size(); offset += blockSize) {
    const std::optional<Bytes> number = key->rawPublicOperation(
        ciphertext.subspan(offset, std::min(blockSize, ciphertext.size() - offset)));
    if (!number) return std::nullopt;  // no partial text
    const Bytes chunk = removePadding(*number);
    payload.insert(payload.end(), chunk.begin(), chunk.end());
  }
  return payload;
}

Bytes removePadding(std::span<const std::uint8_t> block) {
  // The bytes before the first zero byte are not examined (no block type, no run of FF, no
  // minimum length).
  const auto firstZero = std::find(block.begin(), block.end(), std::uint8_t{0});
  const auto start = firstZero == block.end() ? block.begin() : firstZero + 1;
  const auto end = std::find(start, block.end(), std::uint8_t{0});
  return Bytes(start, end);
}

std::optional<std::string> encryptedText(std::string_view text, std::string_view keyText) {
  const std::optional<Bytes> ciphertext = encrypt(bytesOf(text), keyText);
  if (!ciphertext) return std::nullopt;
  return base64::encode(*ciphertext);
}

std::optional<std::string> decryptedText(std::string_view encoded, std::string_view keyText) {
  const std::optional<Bytes> ciphertext = base64::decodeLenient(encoded);
  // The key is imported (and a bad one logged) whether or not the text decodes.
  const std::optional<Bytes> payload = decrypt(ciphertext ? *ciphertext : Bytes(), keyText);
  // Text that does not decode is a failure, not an empty message.
  if (!payload || !ciphertext) return std::nullopt;
  // Chunks are joined first: a character may be split between two blocks.
  const std::string_view plain = textOf(*payload);
  if (!isValidUtf8(plain)) return std::nullopt;
  return std::string(plain);
}

}  // namespace orvo::cipher
