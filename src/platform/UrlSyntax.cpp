#include "platform/UrlSyntax.h"

#include <uriparser/Uri.h>

namespace orvo::url {
namespace {

// Owns the members the parser allocates. A failed parse has released them itself already, so
// only a successful one is freed here.
class ParsedUri {
 public:
  ParsedUri() = default;
  ParsedUri(const ParsedUri&) = delete;
  ParsedUri& operator=(const ParsedUri&) = delete;
  ~ParsedUri() {
    if (parsed_) uriFreeUriMembersA(&uri_);
  }
  bool parse(const char* first, const char* afterLast) {
    const char* errorPos = nullptr;
    parsed_ = uriParseSingleUriExA(&uri_, first, afterLast, &errorPos) == URI_SUCCESS;
    return parsed_;
  }
  const UriUriA& get() const { return uri_; }

 private:
  UriUriA uri_{};
  bool parsed_ = false;
};

}  // namespace

std::optional<Url> parse(std::string_view text) {
  // An empty reference is RFC 3986 syntax, but it names nothing.
  if (text.empty()) return std::nullopt;
  ParsedUri uri;
  if (!uri.parse(text.data(), text.data() + text.size())) return std::nullopt;
  const UriTextRangeA& scheme = uri.get().scheme;
  Url result{std::string(text), {}};
  if (scheme.first != nullptr && scheme.afterLast != nullptr) {
    result.scheme.assign(scheme.first, scheme.afterLast);
  }
  return result;
}

}  // namespace orvo::url
