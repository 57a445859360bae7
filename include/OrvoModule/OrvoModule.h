/*
 * OrvoModule: the code that every game of the group shares. This header needs C99 or later
 * (bool, and a universal character name in one function's name), or C++.
 *
 * Conventions, which every function below follows:
 *  1. Text arguments are NUL-terminated UTF-8. They are read during the call only and stay
 *     the caller's. A null pointer, or text that is not valid UTF-8, gives the function's
 *     no-value result (null, 0 or no effect). So does a time that is not a finite number,
 *     or a duration that is negative or not a number: nothing is written or logged.
 *  2. Returned text is a fresh copy made with strdup: the caller owns it and releases it with
 *     OrvoModuleFree, or with the C library's free where that is the allocator the module uses
 *     (a host that binds free from a library of its choosing may get another one). Every call
 *     returns a new block, also for the same text.
 *  3. A null result means "no value". Text that exists but is empty is "", never null.
 *  4. Yes/no results are bool and exactly 0 or 1.
 *  5. Nothing is kept between calls: all lasting state is in the app group's shared store.
 *  6. No function throws, aborts or reports an error other than by its result.
 */
#ifndef ORVOMODULE_ORVOMODULE_H_
#define ORVOMODULE_ORVOMODULE_H_

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

#if defined(ORVO_BUILDING_MODULE)
#define ORVO_API __attribute__((visibility("default")))
#else
#define ORVO_API
#endif

/* Version of the module: 1.0. */
ORVO_API extern const double OrvoModuleVersionNumber;
/* "@(#)PROGRAM:OrvoModule  PROJECT:OrvoModule-1\n" (45 characters and the NUL). */
ORVO_API extern const unsigned char OrvoModuleVersionString[];

/* Releases text that a function below returned, with the allocator that made it; null is
 * accepted and does nothing. */
ORVO_API void OrvoModuleFree(void* text);

/* ISO 3166-1 alpha-3 code of the storefront country; null when there is none. Caller frees. */
ORVO_API char* GetStoreCode(void);
/* The player identity "UserID" from the group's "UserData" file; null when there is none.
 * Caller frees. */
ORVO_API char* GetUserID(void);
/* The referral code stored under "refCode"; null when none is stored. Caller frees. */
ORVO_API char* GetRefCode(void);
/* Appends eventDate to the shared event log "eventsDates". */
ORVO_API void SetEventDate(double eventDate);
/* Puts another game than gameKey (and than the game now on fire) on fire until value
 * (seconds since 1970) and returns its game key; null when no game was chosen. Caller frees. */
ORVO_API char* SetNextGameOnFire(const char* gameKey, double value);
/* The game key of the game on fire now; null when no game is. Caller frees.
 * The letter after "Gam" is U+0435 CYRILLIC SMALL LETTER IE: bind the name by its bytes. */
ORVO_API char* GetCurrentGam\u0435OnFire(void);
/* Compact JSON array of {"bundle", "lastPlayDate"} objects, one per registered game; null when
 * there is no registry or it cannot be written as JSON. Caller frees. */
ORVO_API char* GetAllGames(void);
/* Records an interstitial at value for gameKey; 1 when the game's oldest interstitial lies
 * before the window [value - duration, value] and no other game has one inside it, else 0. */
ORVO_API bool SetInterstitialDate(const char* gameKey, double value, double duration);
/* Records value as the last-play time of gameKey. */
ORVO_API void SetLastPlayDate(const char* gameKey, double value);
/* Base64 of text encrypted (RSA-OAEP, SHA-1) with the PEM public key keyString; null when the
 * key or the encryption fails. Caller frees. */
ORVO_API char* GetEncryptedData(const char* text, const char* keyString);
/* Text decrypted from the peer's base64 blocks with the PEM public key keyString; null when the
 * key or a block fails or the result is not UTF-8. Caller frees. */
ORVO_API char* GetDecryptedData(const char* text, const char* keyString);
/* 1 when an installed application handles the URL's scheme; 0 also for text that is no URL. */
ORVO_API bool CanOpenURL(const char* url);
/* 1 when a VPN is up: a running tunnel link (TUN/TAP, WireGuard, IPsec, GRE, PPP, ...), or an
 * interface whose name holds tap, tun, ppp, ipsec or utun. */
ORVO_API bool IsVPNEnabled(void);

#ifdef __cplusplus
}
#endif

#endif /* ORVOMODULE_ORVOMODULE_H_ */
