// The operations behind the exported entry points. Every operation is a class operation,
// does all its work within the call, keeps nothing between calls and throws nothing: a
// failure is its no-value result (null, false, no data or no effect).
#ifndef ORVO_DATAMANAGER_H_
#define ORVO_DATAMANAGER_H_

#include <OrvoModule/OrvoModule.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace orvo {
class PublicKey;
using Bytes = std::vector<std::uint8_t>;
}  // namespace orvo

class ORVO_API DataManager {
 public:
  DataManager() = delete;

  // Player store.
  static char* getUserID() noexcept;
  static char* getRefCode() noexcept;
  static void setEventDate(double eventDate) noexcept;

  // Games registry.
  static void setLastPlayDate(const char* gameKey, double value) noexcept;
  static char* getCurrentGameOnFire() noexcept;
  static char* setNextGameOnFire(const char* gameKey, double value) noexcept;
  static char* getAllGames() noexcept;
  static bool setInterstitialDate(const char* gameKey, double value, double duration) noexcept;

  // Payload cipher.
  static std::unique_ptr<orvo::PublicKey> getSecKeyWithKey(std::string_view keyText) noexcept;
  static std::optional<orvo::Bytes> m_getEncryptedData(std::span<const std::uint8_t> payload,
                                                       std::string_view keyString) noexcept;
  static char* getEncryptedData(const char* text, const char* keyString) noexcept;
  static std::optional<orvo::Bytes> m_getDecryptedData(std::span<const std::uint8_t> ciphertext,
                                                       std::string_view keyString) noexcept;
  static char* getDecryptedData(const char* text, const char* keyString) noexcept;
  static orvo::Bytes removePaddingFromData(std::span<const std::uint8_t> block) noexcept;

  // Device probes.
  static bool canOpenURL(const char* url) noexcept;
  static bool isVPNEnabled() noexcept;
};

#endif  // ORVO_DATAMANAGER_H_
