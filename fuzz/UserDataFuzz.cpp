// Any bytes as the group's UserData file: GetUserID gives exactly the top-level "UserID"
// string that the JSON library itself reads from a document nested at most 512 deep, and
// nothing for every other file.
#include <OrvoModule/OrvoModule.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "FuzzSupport.h"

namespace {

using nlohmann::json;
constexpr int kMaxNesting = 512;

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
  if (document.is_discarded() || deepest > kMaxNesting || !document.is_object()) {
    return std::nullopt;
  }
  const auto found = document.find("UserID");
  if (found == document.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo::fuzz;
  static const stdfs::path userData = scratchContainer() / "UserData";
  const std::string_view text = textOf(data, size);
  writeFile(userData, text);
  Returned userID;
  {
    QuietStderr quiet;
    userID.reset(GetUserID());
  }
  const std::optional<std::string> expected = expectedUserID(text);
  FUZZ_CHECK(expected.has_value() == (userID != nullptr));
  // A C string: a "\u0000" in the identity ends it.
  FUZZ_CHECK(!expected || std::string_view(userID.get()) == expected->c_str());
  return 0;
}
