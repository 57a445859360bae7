// Any text through CanOpenURL, with XDG folders whose one desktop entry handles the scheme
// orvo-lobby: the answer is yes exactly for UTF-8 text that parses as a URI with that scheme in
// any case. The parse itself keeps the text and finds a well-formed scheme at its front.
#include <OrvoModule/OrvoModule.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "FuzzSupport.h"
#include "platform/UrlSyntax.h"
#include "platform/Utf8.h"

namespace {

constexpr std::string_view kHandledScheme = "orvo-lobby";

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool isScheme(std::string_view s) {
  return !s.empty() && isAlpha(s.front()) && std::all_of(s.begin(), s.end(), [](char c) {
    return isAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
  });
}

bool isHandledScheme(std::string_view s) {
  return s.size() == kHandledScheme.size() &&
         std::equal(s.begin(), s.end(), kHandledScheme.begin(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const orvo::fuzz::XdgFolders folders = orvo::fuzz::scratchXdgFolders();
  // Mixed case on purpose: types compare case-insensitively.
  orvo::fuzz::writeFile(folders.dataHome / "applications" / "orvo-lobby.desktop",
                        "[Desktop Entry]\nType=Application\nName=Lobby\nExec=lobby %u\n"
                        "MimeType=text/plain;x-scheme-handler/Orvo-Lobby;\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo::fuzz;
  const std::string text(textOf(data, size));
  bool opens;
  {
    QuietStderr quiet;
    opens = CanOpenURL(text.c_str());
  }
  // What a host passes: the text up to its first NUL.
  const std::string_view hostText(text.c_str());
  const std::optional<orvo::url::Url> url = orvo::url::parse(hostText);
  if (url) {
    FUZZ_CHECK(url->text == hostText);
    FUZZ_CHECK(url->scheme.empty() ||
               (isScheme(url->scheme) && hostText.starts_with(url->scheme + ":")));
  }
  FUZZ_CHECK(opens == (orvo::isValidUtf8(hostText) && url && isHandledScheme(url->scheme)));
  return 0;
}
