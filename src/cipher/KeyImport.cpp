// The peer's public key, imported afresh from its text for every cipher call.
#include <string>

#include "DataManager.h"
#include "cipher/Base64.h"
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
}  // namespace orvo::cipher

std::unique_ptr<orvo::PublicKey> DataManager::getSecKeyWithKey(std::string_view keyText) noexcept {
  try {
    const std::optional<orvo::Bytes> der =
        orvo::base64::decodeStrict(orvo::cipher::keyBody(keyText));
    if (!der) return nullptr;
    orvo::PublicKey::Import imported = orvo::PublicKey::fromDer(*der);
    if (!imported.key && !imported.refusal.empty()) {
      orvo::log::write("Error creating key: " + imported.refusal);
    }
    return std::move(imported.key);
  } catch (...) {
    return nullptr;
  }
}
