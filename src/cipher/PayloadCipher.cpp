// Texts exchanged with the peer that holds the private key: one OAEP block toward it, blocks
// of its raw private-key operation back from it.
#include <algorithm>
#include <string>

#include "DataManager.h"
#include "bridge/Text.h"
#include "cipher/Base64.h"
#include "platform/Rsa.h"
#include "platform/Utf8.h"

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string_view textOf(const orvo::Bytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::optional<orvo::Bytes> DataManager::m_getEncryptedData(std::span<const std::uint8_t> payload,
                                                           std::string_view keyString) noexcept {
  try {
    const std::unique_ptr<orvo::PublicKey> key = getSecKeyWithKey(keyString);
    if (!key || key->blockSize() == 0 || !key->supportsOaepEncryption()) return std::nullopt;
    // Never split: a payload beyond one OAEP block is refused by the encryption itself.
    return key->encryptOaepSha1(payload);
  } catch (...) {
    return std::nullopt;
  }
}

char* DataManager::getEncryptedData(const char* text, const char* keyString) noexcept {
  try {
    // Text that is not UTF-8 fails here rather than going out as an empty payload, which the
    // caller could not tell from a real encryption.
    const std::optional<std::string_view> plain = orvo::textArgument(text);
    const std::optional<std::string_view> key = orvo::textArgument(keyString);
    if (!plain || !key) return nullptr;
    const std::optional<orvo::Bytes> ciphertext = m_getEncryptedData(bytesOf(*plain), *key);
    if (!ciphertext) return nullptr;
    return orvo::copyOut(orvo::base64::encode(*ciphertext));
  } catch (...) {
    return nullptr;
  }
}

std::optional<orvo::Bytes> DataManager::m_getDecryptedData(std::span<const std::uint8_t> ciphertext,
                                                           std::string_view keyString) noexcept {
  try {
    const std::unique_ptr<orvo::PublicKey> key = getSecKeyWithKey(keyString);
    if (!key) return std::nullopt;
    const std::size_t blockSize = key->blockSize();
    if (blockSize == 0) return std::nullopt;
    orvo::Bytes payload;
    // A last piece shorter than a block is the number it spells, like any block.
    for (std::size_t offset = 0; offset < ciphertext.size(); offset += blockSize) {
      const std::optional<orvo::Bytes> number = key->rawPublicOperation(
          ciphertext.subspan(offset, std::min(blockSize, ciphertext.size() - offset)));
      if (!number) return std::nullopt;  // no partial text
      const orvo::Bytes chunk = removePaddingFromData(*number);
      payload.insert(payload.end(), chunk.begin(), chunk.end());
    }
    return payload;
  } catch (...) {
    return std::nullopt;
  }
}

char* DataManager::getDecryptedData(const char* text, const char* keyString) noexcept {
  try {
    const std::optional<std::string_view> encoded = orvo::textArgument(text);
    const std::optional<std::string_view> key = orvo::textArgument(keyString);
    if (!encoded || !key) return nullptr;
    const std::optional<orvo::Bytes> ciphertext = orvo::base64::decodeLenient(*encoded);
    // The key is imported (and a bad one logged) whether or not the text decodes.
    const std::optional<orvo::Bytes> payload =
        m_getDecryptedData(ciphertext ? *ciphertext : orvo::Bytes(), *key);
    // Text that does not decode is a failure, not an empty message.
    if (!payload || !ciphertext) return nullptr;
    // Chunks are joined first: a character may be split between two blocks.
    const std::string_view plain = textOf(*payload);
    if (!orvo::isValidUtf8(plain)) return nullptr;
    return orvo::copyOut(plain);
  } catch (...) {
    return nullptr;
  }
}

orvo::Bytes DataManager::removePaddingFromData(std::span<const std::uint8_t> block) noexcept {
  try {
    // The bytes before the first zero byte are not examined (no block type, no run of FF, no
    // minimum length): the chunk runs from just after it to the next zero byte or the end.
    // Without any zero byte the whole block is the chunk.
    const auto firstZero = std::find(block.begin(), block.end(), std::uint8_t{0});
    const auto start = firstZero == block.end() ? block.begin() : firstZero + 1;
    const auto end = std::find(start, block.end(), std::uint8_t{0});
    return orvo::Bytes(start, end);
  } catch (...) {
    return {};
  }
}
