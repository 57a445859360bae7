// The class operations behind the entry points: the one place that turns C arguments into
// text, copies results out for the host to free, and turns any exception (running out of
// memory) into the operation's no-value result, which is what the host gets for any failure.
#include "DataManager.h"

#include "StoreManager.h"
#include "bridge/Text.h"
#include "cipher/Cipher.h"
#include "games/Games.h"
#include "platform/Storefront.h"
#include "probes/UrlProbe.h"
#include "probes/VpnProbe.h"
#include "store/PlayerStore.h"

namespace {

// Runs `operation`; `noValue` when it throws.
template <typename Result, typename Operation>
Result orNoValue(Result noValue, Operation operation) noexcept {
  try {
    return operation();
  } catch (...) {
    return noValue;
  }
}

template <typename Operation>
void orNoEffect(Operation operation) noexcept {
  try {
    operation();
  } catch (...) {
  }
}

// A text result for the host: a strdup copy, null for none.
char* copyOut(const std::optional<std::string>& text) noexcept {
  return text ? orvo::copyOut(*text) : nullptr;
}

}  // namespace

using orvo::textArgument;

char* DataManager::getUserID() noexcept {
  return orNoValue<char*>(nullptr, [] { return copyOut(orvo::store::userID()); });
}

char* DataManager::getRefCode() noexcept {
  return orNoValue<char*>(nullptr, [] { return copyOut(orvo::store::refCode()); });
}

void DataManager::setEventDate(double eventDate) noexcept {
  orNoEffect([=] { orvo::store::setEventDate(eventDate); });
}

void DataManager::setLastPlayDate(const char* gameKey, double value) noexcept {
  orNoEffect([=] {
    if (const std::optional<std::string_view> key = textArgument(gameKey)) {
      orvo::games::setLastPlayDate(*key, value);
    }
  });
}

char* DataManager::getCurrentGameOnFire() noexcept {
  return orNoValue<char*>(nullptr, [] { return copyOut(orvo::games::currentGameOnFire()); });
}

char* DataManager::setNextGameOnFire(const char* gameKey, double value) noexcept {
  return orNoValue<char*>(nullptr, [=]() -> char* {
    if (gameKey == nullptr) return nullptr;
    // Text that is not UTF-8 names no game and so excludes none.
    return copyOut(orvo::games::setNextGameOnFire(textArgument(gameKey), value));
  });
}

char* DataManager::getAllGames() noexcept {
  return orNoValue<char*>(nullptr, [] { return copyOut(orvo::games::allGames()); });
}

bool DataManager::setInterstitialDate(const char* gameKey, double value, double duration) noexcept {
  return orNoValue(false, [=] {
    const std::optional<std::string_view> key = textArgument(gameKey);
    return key && orvo::games::setInterstitialDate(*key, value, duration);
  });
}

std::unique_ptr<orvo::PublicKey> DataManager::getSecKeyWithKey(std::string_view keyText) noexcept {
  return orNoValue<std::unique_ptr<orvo::PublicKey>>(
      nullptr, [=] { return orvo::cipher::secKeyWithKey(keyText); });
}

std::optional<orvo::Bytes> DataManager::m_getEncryptedData(std::span<const std::uint8_t> payload,
                                                           std::string_view keyString) noexcept {
  return orNoValue<std::optional<orvo::Bytes>>(
      std::nullopt, [=] { return orvo::cipher::encrypt(payload, keyString); });
}

char* DataManager::getEncryptedData(const char* text, const char* keyString) noexcept {
  return orNoValue<char*>(nullptr, [=]() -> char* {
    // Text that is not UTF-8 fails here rather than going out as an empty payload, which the
    // caller could not tell from a real encryption.
    const std::optional<std::string_view> plain = textArgument(text);
    const std::optional<std::string_view> key = textArgument(keyString);
    if (!plain || !key) return nullptr;
    return copyOut(orvo::cipher::encryptedText(*plain, *key));
  });
}

std::optional<orvo::Bytes> DataManager::m_getDecryptedData(std::span<const std::uint8_t> ciphertext,
                                                           std::string_view keyString) noexcept {
  return orNoValue<std::optional<orvo::Bytes>>(
      std::nullopt, [=] { return orvo::cipher::decrypt(ciphertext, keyString); });
}

char* DataManager::getDecryptedData(const char* text, const char* keyString) noexcept {
  return orNoValue<char*>(nullptr, [=]() -> char* {
    const std::optional<std::string_view> encoded = textArgument(text);
    const std::optional<std::string_view> key = textArgument(keyString);
    if (!encoded || !key) return nullptr;
    return copyOut(orvo::cipher::decryptedText(*encoded, *key));
  });
}

orvo::Bytes DataManager::removePaddingFromData(std::span<const std::uint8_t> block) noexcept {
  return orNoValue<orvo::Bytes>({}, [=] { return orvo::cipher::removePadding(block); });
}

bool DataManager::canOpenURL(const char* url) noexcept {
  return orNoValue(false, [=] { return orvo::probes::canOpenURL(textArgument(url)); });
}

bool DataManager::isVPNEnabled() noexcept {
  return orNoValue(false, [] { return orvo::probes::isVPNEnabled(); });
}

char* StoreManager::getCountryCode() noexcept {
  return orNoValue<char*>(nullptr, [] { return copyOut(orvo::storefront::currentCountryCode()); });
}
