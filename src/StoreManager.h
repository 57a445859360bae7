// The storefront: the country of the store the device buys from.
#ifndef ORVO_STOREMANAGER_H_
#define ORVO_STOREMANAGER_H_

#include <OrvoModule/OrvoModule.h>

class ORVO_API StoreManager {
 public:
  StoreManager() = delete;

  // The storefront's ISO 3166-1 alpha-3 country code as a fresh strdup copy the caller frees;
  // null when there is no storefront or it has no country code.
  static char* getCountryCode() noexcept;
};

#endif  // ORVO_STOREMANAGER_H_
