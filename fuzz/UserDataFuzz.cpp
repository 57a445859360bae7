// Any bytes as the group's UserData file: GetUserID gives exactly the top-level "UserID" string
// that nlohmann reads from a document nested at most 512 deep (once UTF-16 or UTF-32 text is
// UTF-8), and nothing otherwise.
#include <OrvoModule/OrvoModule.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "FuzzSupport.h"
#include "platform/Utf8.h"

namespace {

using nlohmann::json;

std::optional<std::string> expectedUserID(std::string_view text) {
  int deepest = 0;
  // The library reports the depth of an opening bracket before entering it.
  const json::parser_callback_t track = [&](int depth, json::parse_event_t event, json&) {
    if (event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) {
      deepest = std::max(deepest, depth + 1);
    }
    return true;
  };
  const json document = json::parse(text.begin(), text.end(), track, false);
  // find gives end() on anything but an object, as on a document it discarded.
  const auto found = document.find("UserID");
  if (deepest > 512 || found == document.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo::fuzz;
  static const stdfs::path userData = appGroupFile("UserData");
  const std::string_view text = textOf(data, size);
  writeFile(userData, text);
  const Returned userID(quietly(GetUserID));
  std::vector<std::uint8_t> utf8(data, data + size);
  const std::optional<std::string> expected =
      orvo::unicodeTextToUtf8(utf8) ? expectedUserID(textOf(utf8.data(), utf8.size())) : std::nullopt;
  // A C string: a "\u0000" in the identity ends it.
  FUZZ_CHECK(expected ? userID && std::string_view(userID.get()) == expected->c_str() : !userID);
  return 0;
}
