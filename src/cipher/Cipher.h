// Texts exchanged with the peer that holds the private key: one OAEP block toward it, blocks
// of its raw private-key operation back from it. The peer's key is imported afresh from its
// text for every call. A failure is the no-value result; running out of memory throws, and the
// caller turns that into the same result.
#ifndef ORVO_CIPHER_CIPHER_H_
#define ORVO_CIPHER_CIPHER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Rsa.h"

namespace orvo::cipher {

// The public key in PEM text (or its base64 body alone); none, with the refusal logged when
// the text decodes, when it holds no usable RSA public key.
std::unique_ptr<PublicKey> secKeyWithKey(std::string_view keyText);

// One OAEP (SHA-1) block of the payload; none when it does not fit one block.
std::optional<Bytes> encrypt(std::span<const std::uint8_t> payload, std::string_view keyText);
// The payloads of the blocks, each recovered with the raw public operation; none when any
// block fails.
std::optional<Bytes> decrypt(std::span<const std::uint8_t> ciphertext, std::string_view keyText);
// A decrypted block's payload: from after its first zero byte to the next zero byte or its
// end; the whole block when it has no zero byte.
Bytes removePadding(std::span<const std::uint8_t> block);

// The same for texts: UTF-8 in, base64 out, and back.
std::optional<std::string> encryptedText(std::string_view text, std::string_view keyText);
std::optional<std::string> decryptedText(std::string_view encoded, std::string_view keyText);

}  // namespace orvo::cipher

#endif  // ORVO_CIPHER_CIPHER_H_
