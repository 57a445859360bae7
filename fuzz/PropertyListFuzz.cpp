// Any input, binary or XML: what the reader accepts nests no deeper than it promises, and the
// writer writes it to bytes that read back to the same value.
#include <algorithm>
#include <span>

#include "FuzzSupport.h"
#include "platform/PropertyList.h"

namespace {

namespace plist = orvo::plist;

// Containers on the deepest path; scalars count for nothing.
std::size_t nesting(const plist::Value& value) {
  std::size_t deepest = 0;
  if (const auto* array = value.as<plist::Array>()) {
    for (const auto& element : *array) deepest = std::max(deepest, nesting(element));
  } else if (const auto* dictionary = value.as<plist::Dictionary>()) {
    for (const auto& entry : *dictionary) deepest = std::max(deepest, nesting(entry.second));
  } else {
    return 0;
  }
  return deepest + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto value = plist::readPropertyList(std::span(data, size));
  if (!value) return 0;
  FUZZ_CHECK(nesting(*value) <= plist::kMaxNestingDepth);
  const auto written = plist::writeBinaryPropertyList(*value);
  // Compared as bytes, where NaN equals itself.
  const auto reread = written ? plist::readBinaryPropertyList(*written) : std::nullopt;
  FUZZ_CHECK(reread && plist::writeBinaryPropertyList(*reread) == written);
  return 0;
}
