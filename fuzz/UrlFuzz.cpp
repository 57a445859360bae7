// Any text through CanOpenURL, with one desktop entry that handles the scheme orvo-lobby: the
// answer is yes exactly for UTF-8 text that parses as a URI with that scheme in any case.
#include <OrvoModule/OrvoModule.h>
#include <strings.h>

#include "FuzzSupport.h"
#include "platform/UrlSyntax.h"
#include "platform/Utf8.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Mixed case on purpose: types compare case-insensitively.
  orvo::fuzz::writeFile(
      orvo::fuzz::scratchXdg() / "XDG_DATA_HOME" / "applications" / "lobby.desktop",
      "[Desktop Entry]\nType=Application\nName=Lobby\nExec=/bin/sh %u\n"
      "MimeType=text/plain;x-scheme-handler/Orvo-Lobby;\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo::fuzz;
  const std::string text(textOf(data, size));
  const bool opens = quietly([&] { return CanOpenURL(text.c_str()); });
  // What a host passes: the text up to its first NUL.
  const std::string_view hostText(text.c_str());
  const std::optional<orvo::url::Url> url = orvo::url::parse(hostText);
  const bool handled = url && ::strcasecmp(url->scheme.c_str(), "orvo-lobby") == 0;
  FUZZ_CHECK(opens == (orvo::isValidUtf8(hostText) && handled));
  return 0;
}
