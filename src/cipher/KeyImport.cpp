// The peer's public key, imported afresh from its text for every cipher call.
#include <string>

#include "cipher/Cipher.h"
#include "platform/Base64.h"
#include "platform/Rsa.h"
#include "platform/SystemLog.h"

namespace orvo::cipher {
namespace {

// Every occurrence, left to right, in one pass: what a removal brings together is not looked
// at again.
std::string replaceAll(std::string_view text, std::string_view target) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t from = 0;;) {
    const std::size_t found = text.find(target, from);
    if (found == std::string_view::npos) {
      out.append(text.substr(from));
      return out;
    }
    out.append(text.substr(from, found - from));
    from = found + target.size();
  }
}

// Only these markers and line ends go: the markers of any other label, blanks and tabs stay
// and fail the strict decoding.
std::string keyBody(std::string_view keyText) {
  std::string body = replaceAll(keyText, "-----BEGIN PUBLIC KEY-----");
  body = replaceAll(body, "-----END PUBLIC KEY-----");
  body = replaceAll(body, "\r\n");
  body = replaceAll(body, "\n");
  return replaceAll(body, "\r");
}

}  // namespace

std::unique_ptr<PublicKey> secKeyWithKey(std::string_view keyText) {
  const std::optional<Bytes> der = base64::decodeStrict(keyBody(keyText));
  if (!der) return nullptr;
  PublicKey::Import imported = PublicKey::fromDer(*der);
  if (!imported.key && !imported.refusal.empty()) {
    log::write("Error creating key: " + imported.refusal);
  }
  return std::move(imported.key);
}

}  // namespace orvo::cipher
