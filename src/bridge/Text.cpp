#include "bridge/Text.h"

#include <cstring>
#include <string>

#include "platform/Utf8.h"

namespace orvo {

std::optional<std::string_view> textArgument(const char* text) noexcept {
  if (text == nullptr) return std::nullopt;
  std::string_view view(text);
  if (!isValidUtf8(view)) return std::nullopt;
  return view;
}

char* copyOut(std::string_view text) noexcept {
  try {
    return ::strdup(std::string(text).c_str());
  } catch (...) {
    return nullptr;
  }
}

}  // namespace orvo
