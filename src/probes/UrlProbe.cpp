#include "probes/UrlProbe.h"

#include <string>

#include "platform/SchemeHandlers.h"
#include "platform/SystemLog.h"
#include "platform/UrlSyntax.h"

namespace orvo::probes {

bool canOpenURL(std::optional<std::string_view> text) {
  const std::optional<url::Url> parsed = text ? url::parse(*text) : std::nullopt;
  // Logged before anything is looked up, also for text that is no URL.
  log::write("--> canOpenURL : " +
             log::describe(parsed ? std::optional<std::string>(parsed->text) : std::nullopt));
  if (!parsed || parsed->scheme.empty()) return false;
  return xdg::hasSchemeHandler(parsed->scheme, xdg::foldersFromEnvironment());
}

}  // namespace orvo::probes
