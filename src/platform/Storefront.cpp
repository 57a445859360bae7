#include "platform/Storefront.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace orvo::storefront {
namespace {

struct Country {
  std::string_view alpha2;
  std::string_view alpha3;
};

// Every code assigned in ISO 3166-1, sorted by alpha-2.
constexpr Country kCountries[] = {
    {"AD", "AND"}, {"AE", "ARE"}, {"AF", "AFG"}, {"AG", "ATG"}, {"AI", "AIA"}, {"AL", "ALB"},
    {"AM", "ARM"}, {"AO", "AGO"}, {"AQ", "ATA"}, {"AR", "ARG"}, {"AS", "ASM"}, {"AT", "AUT"},
    {"AU", "AUS"}, {"AW", "ABW"}, {"AX", "ALA"}, {"AZ", "AZE"}, {"BA", "BIH"}, {"BB", "BRB"},
    {"BD", "BGD"}, {"BE", "BEL"}, {"BF", "BFA"}, {"BG", "BGR"}, {"BH", "BHR"}, {"BI", "BDI"},
    {"BJ", "BEN"}, {"BL", "BLM"}, {"BM", "BMU"}, {"BN", "BRN"}, {"BO", "BOL"}, {"BQ", "BES"},
    {"BR", "BRA"}, {"BS", "BHS"}, {"BT", "BTN"}, {"BV", "BVT"}, {"BW", "BWA"}, {"BY", "BLR"},
    {"BZ", "BLZ"}, {"CA", "CAN"}, {"CC", "CCK"}, {"CD", "COD"}, {"CF", "CAF"}, {"CG", "COG"},
    {"CH", "CHE"}, {"CI", "CIV"}, {"CK", "COK"}, {"CL", "CHL"}, {"CM", "CMR"}, {"CN", "CHN"},
    {"CO", "COL"}, {"CR", "CRI"}, {"CU", "CUB"}, {"CV", "CPV"}, {"CW", "CUW"}, {"CX", "CXR"},
    {"CY", "CYP"}, {"CZ", "CZE"}, {"DE", "DEU"}, {"DJ", "DJI"}, {"DK", "DNK"}, {"DM", "DMA"},
    {"DO", "DOM"}, {"DZ", "DZA"}, {"EC", "ECU"}, {"EE", "EST"}, {"EG", "EGY"}, {"EH", "ESH"},
    {"ER", "ERI"}, {"ES", "ESP"}, {"ET", "ETH"}, {"FI", "FIN"}, {"FJ", "FJI"}, {"FK", "FLK"},
    {"FM", "FSM"}, {"FO", "FRO"}, {"FR", "FRA"}, {"GA", "GAB"}, {"GB", "GBR"}, {"GD", "GRD"},
    {"GE", "GEO"}, {"GF", "GUF"}, {"GG", "GGY"}, {"GH", "GHA"}, {"GI", "GIB"}, {"GL", "GRL"},
    {"GM", "GMB"}, {"GN", "GIN"}, {"GP", "GLP"}, {"GQ", "GNQ"}, {"GR", "GRC"}, {"GS", "SGS"},
    {"GT", "GTM"}, {"GU", "GUM"}, {"GW", "GNB"}, {"GY", "GUY"}, {"HK", "HKG"}, {"HM", "HMD"},
    {"HN", "HND"}, {"HR", "HRV"}, {"HT", "HTI"}, {"HU", "HUN"}, {"ID", "IDN"}, {"IE", "IRL"},
    {"IL", "ISR"}, {"IM", "IMN"}, {"IN", "IND"}, {"IO", "IOT"}, {"IQ", "IRQ"}, {"IR", "IRN"},
    {"IS", "ISL"}, {"IT", "ITA"}, {"JE", "JEY"}, {"JM", "JAM"}, {"JO", "JOR"}, {"JP", "JPN"},
    {"KE", "KEN"}, {"KG", "KGZ"}, {"KH", "KHM"}, {"KI", "KIR"}, {"KM", "COM"}, {"KN", "KNA"},
    {"KP", "PRK"}, {"KR", "KOR"}, {"KW", "KWT"}, {"KY", "CYM"}, {"KZ", "KAZ"}, {"LA", "LAO"},
    {"LB", "LBN"}, {"LC", "LCA"}, {"LI", "LIE"}, {"LK", "LKA"}, {"LR", "LBR"}, {"LS", "LSO"},
    {"LT", "LTU"}, {"LU", "LUX"}, {"LV", "LVA"}, {"LY", "LBY"}, {"MA", "MAR"}, {"MC", "MCO"},
    {"MD", "MDA"}, {"ME", "MNE"}, {"MF", "MAF"}, {"MG", "MDG"}, {"MH", "MHL"}, {"MK", "MKD"},
    {"ML", "MLI"}, {"MM", "MMR"}, {"MN", "MNG"}, {"MO", "MAC"}, {"MP", "MNP"}, {"MQ", "MTQ"},
    {"MR", "MRT"}, {"MS", "MSR"}, {"MT", "MLT"}, {"MU", "MUS"}, {"MV", "MDV"}, {"MW", "MWI"},
    {"MX", "MEX"}, {"MY", "MYS"}, {"MZ", "MOZ"}, {"NA", "NAM"}, {"NC", "NCL"}, {"NE", "NER"},
    {"NF", "NFK"}, {"NG", "NGA"}, {"NI", "NIC"}, {"NL", "NLD"}, {"NO", "NOR"}, {"NP", "NPL"},
    {"NR", "NRU"}, {"NU", "NIU"}, {"NZ", "NZL"}, {"OM", "OMN"}, {"PA", "PAN"}, {"PE", "PER"},
    {"PF", "PYF"}, {"PG", "PNG"}, {"PH", "PHL"}, {"PK", "PAK"}, {"PL", "POL"}, {"PM", "SPM"},
    {"PN", "PCN"}, {"PR", "PRI"}, {"PS", "PSE"}, {"PT", "PRT"}, {"PW", "PLW"}, {"PY", "PRY"},
    {"QA", "QAT"}, {"RE", "REU"}, {"RO", "ROU"}, {"RS", "SRB"}, {"RU", "RUS"}, {"RW", "RWA"},
    {"SA", "SAU"}, {"SB", "SLB"}, {"SC", "SYC"}, {"SD", "SDN"}, {"SE", "SWE"}, {"SG", "SGP"},
    {"SH", "SHN"}, {"SI", "SVN"}, {"SJ", "SJM"}, {"SK", "SVK"}, {"SL", "SLE"}, {"SM", "SMR"},
    {"SN", "SEN"}, {"SO", "SOM"}, {"SR", "SUR"}, {"SS", "SSD"}, {"ST", "STP"}, {"SV", "SLV"},
    {"SX", "SXM"}, {"SY", "SYR"}, {"SZ", "SWZ"}, {"TC", "TCA"}, {"TD", "TCD"}, {"TF", "ATF"},
    {"TG", "TGO"}, {"TH", "THA"}, {"TJ", "TJK"}, {"TK", "TKL"}, {"TL", "TLS"}, {"TM", "TKM"},
    {"TN", "TUN"}, {"TO", "TON"}, {"TR", "TUR"}, {"TT", "TTO"}, {"TV", "TUV"}, {"TW", "TWN"},
    {"TZ", "TZA"}, {"UA", "UKR"}, {"UG", "UGA"}, {"UM", "UMI"}, {"US", "USA"}, {"UY", "URY"},
    {"UZ", "UZB"}, {"VA", "VAT"}, {"VC", "VCT"}, {"VE", "VEN"}, {"VG", "VGB"}, {"VI", "VIR"},
    {"VN", "VNM"}, {"VU", "VUT"}, {"WF", "WLF"}, {"WS", "WSM"}, {"YE", "YEM"}, {"YT", "MYT"},
    {"ZA", "ZAF"}, {"ZM", "ZMB"}, {"ZW", "ZWE"},
};
static_assert(std::size(kCountries) == 249);

constexpr bool isSortedByAlpha2() {
  for (std::size_t i = 1; i < std::size(kCountries); ++i) {
    if (!(kCountries[i - 1].alpha2 < kCountries[i].alpha2)) return false;
  }
  return true;
}
static_assert(isSortedByAlpha2(), "the lookup below searches by halves");

bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }

}  // namespace

std::optional<std::string_view> alpha3ForAlpha2(std::string_view alpha2) {
  const auto* found = std::lower_bound(
      std::begin(kCountries), std::end(kCountries), alpha2,
      [](const Country& country, std::string_view code) { return country.alpha2 < code; });
  if (found == std::end(kCountries) || found->alpha2 != alpha2) return std::nullopt;
  return found->alpha3;
}

std::optional<std::string_view> countryCodeForLocale(std::string_view locale) {
  // language[_TERRITORY][.codeset][@modifier]; only language and territory matter here.
  locale = locale.substr(0, locale.find('@'));
  locale = locale.substr(0, locale.find('.'));
  const std::size_t underscore = locale.find('_');
  if (underscore == std::string_view::npos) return std::nullopt;  // C, POSIX, "de"
  const std::string_view language = locale.substr(0, underscore);
  const std::string_view territory = locale.substr(underscore + 1);
  // An ISO 639 language and an ISO 3166 territory, as locale names spell them.
  if (language.size() < 2 || language.size() > 3 ||
      !std::all_of(language.begin(), language.end(), isLower)) {
    return std::nullopt;
  }
  if (territory.size() != 2 || !std::all_of(territory.begin(), territory.end(), isUpper)) {
    return std::nullopt;
  }
  return alpha3ForAlpha2(territory);
}

std::optional<std::string_view> selectedLocale() {
  // The first of these that is set and not empty decides, as it does for setlocale.
  for (const char* name : {"LC_ALL", "LC_MONETARY", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return std::string_view(value);
  }
  return std::nullopt;
}

std::optional<std::string> currentCountryCode() {
  const std::optional<std::string_view> locale = selectedLocale();
  if (!locale) return std::nullopt;
  const std::optional<std::string_view> code = countryCodeForLocale(*locale);
  if (!code) return std::nullopt;
  return std::string(*code);
}

}  // namespace orvo::storefront
