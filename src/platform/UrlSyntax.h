// URL syntax as RFC 3986 gives it.
#ifndef ORVO_PLATFORM_URLSYNTAX_H_
#define ORVO_PLATFORM_URLSYNTAX_H_

#include <optional>
#include <string>
#include <string_view>

namespace orvo::url {

struct Url {
  std::string text;    // exactly as given
  std::string scheme;  // as written; empty for a relative reference
};

// The text parsed as an RFC 3986 URI reference, without trimming or escaping anything; none when
// it is not that syntax, or empty.
std::optional<Url> parse(std::string_view text);

}  // namespace orvo::url

#endif  // ORVO_PLATFORM_URLSYNTAX_H_
