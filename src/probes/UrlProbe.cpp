#include <optional>
#include <string>

#include "DataManager.h"
#include "bridge/Text.h"
#include "platform/SchemeHandlers.h"
#include "platform/SystemLog.h"
#include "platform/UrlSyntax.h"

namespace orvo::probes {
namespace {

constexpr std::string_view kCanOpenURLTrace = "--> canOpenURL : ";

bool canOpenURL(const char* text) {
  const std::optional<std::string_view> argument = textArgument(text);
  const std::optional<url::Url> parsed = argument ? url::parse(*argument) : std::nullopt;
  // Logged before anything is looked up, also for text that is no URL.
  log::write(std::string(kCanOpenURLTrace) +
             log::describe(parsed ? std::optional<std::string>(parsed->text) : std::nullopt));
  if (!parsed || parsed->scheme.empty()) return false;
  return xdg::hasSchemeHandler(parsed->scheme, xdg::foldersFromEnvironment());
}

}  // namespace
}  // namespace orvo::probes

bool DataManager::canOpenURL(const char* url) noexcept {
  try {
    return orvo::probes::canOpenURL(url);
  } catch (...) {
    return false;
  }
}
