// The storefront country: on this platform, the territory of the locale the environment
// selects for monetary formatting.
#ifndef ORVO_PLATFORM_STOREFRONT_H_
#define ORVO_PLATFORM_STOREFRONT_H_

#include <optional>
#include <string>
#include <string_view>

namespace orvo::storefront {

// The ISO 3166-1 alpha-3 code of an assigned alpha-2 code ("FR" gives "FRA"); none otherwise.
// Upper case only.
std::optional<std::string_view> alpha3ForAlpha2(std::string_view alpha2);

// The alpha-3 code of the territory a locale name
// language[_TERRITORY][.codeset][@modifier] names; none for C and POSIX, a locale without a
// territory, or a territory that is not an assigned code.
std::optional<std::string_view> countryCodeForLocale(std::string_view locale);

// The locale name that decides monetary formatting: LC_ALL, else LC_MONETARY, else LANG, the
// first that is set and not empty; none when all three are unset or empty.
std::optional<std::string_view> selectedLocale();

// The storefront's country code: the alpha-3 code for the selected locale; none when there is
// no selected locale or it gives no code.
std::optional<std::string> currentCountryCode();

}  // namespace orvo::storefront

#endif  // ORVO_PLATFORM_STOREFRONT_H_
