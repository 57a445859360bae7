// The exported C entry points: each hands its arguments to one class operation and returns
// its result unchanged.
#include <OrvoModule/OrvoModule.h>

#include <cstdlib>

#include "DataManager.h"
#include "probes/StoreManager.h"

extern "C" {

// The other end of copyOut's strdup: the same allocator, whichever free the host would bind.
void OrvoModuleFree(void* text) { std::free(text); }  // NOLINT(cppcoreguidelines-no-malloc)

char* GetUserID(void) { return DataManager::getUserID(); }
char* GetRefCode(void) { return DataManager::getRefCode(); }
void SetEventDate(double eventDate) { DataManager::setEventDate(eventDate); }
char* SetNextGameOnFire(const char* gameKey, double value) {
  return DataManager::setNextGameOnFire(gameKey, value);
}
// The letter after "Gam" is U+0435 CYRILLIC SMALL LETTER IE, not an ASCII e: hosts bind the
// exported name by its bytes (D0 B5 there), so it must stay exactly as it is.
char* GetCurrentGam\u0435OnFire(void) { return DataManager::getCurrentGameOnFire(); }
char* GetAllGames(void) { return DataManager::getAllGames(); }
bool SetInterstitialDate(const char* gameKey, double value, double duration) {
  return DataManager::setInterstitialDate(gameKey, value, duration);
}
void SetLastPlayDate(const char* gameKey, double value) {
  DataManager::setLastPlayDate(gameKey, value);
}
char* GetEncryptedData(const char* text, const char* keyString) {
  return DataManager::getEncryptedData(text, keyString);
}
char* GetDecryptedData(const char* text, const char* keyString) {
  return DataManager::getDecryptedData(text, keyString);
}
char* GetStoreCode(void) { return StoreManager::getCountryCode(); }
bool CanOpenURL(const char* url) { return DataManager::canOpenURL(url); }
bool IsVPNEnabled(void) { return DataManager::isVPNEnabled(); }

}  // extern "C"
