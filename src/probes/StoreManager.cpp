#include "probes/StoreManager.h"

#include "bridge/Text.h"
#include "platform/Storefront.h"

char* StoreManager::getCountryCode() noexcept {
  try {
    const std::optional<std::string> code = orvo::storefront::currentCountryCode();
    return code ? orvo::copyOut(*code) : nullptr;
  } catch (...) {
    return nullptr;
  }
}
