// Any input, binary or XML: the reader accepts or refuses it without fault, nothing it accepts
// nests deeper than it promises, and whatever it accepts the writer writes, to bytes that read
// back to the same value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "FuzzSupport.h"
#include "platform/PropertyList.h"

namespace {

// Containers on the deepest path; scalars count for nothing.
std::size_t nesting(const orvo::plist::Value& value) {
  std::size_t deepest = 0;
  if (const auto* array = value.as<orvo::plist::Array>()) {
    for (const auto& element : *array) deepest = std::max(deepest, nesting(element));
  } else if (const auto* dictionary = value.as<orvo::plist::Dictionary>()) {
    for (const auto& entry : *dictionary) deepest = std::max(deepest, nesting(entry.second));
  } else {
    return 0;
  }
  return deepest + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto value = orvo::plist::readPropertyList(std::span(data, size));
  if (!value) return 0;
  FUZZ_CHECK(nesting(*value) <= orvo::plist::kMaxNestingDepth);
  const auto written = orvo::plist::writeBinaryPropertyList(*value);
  FUZZ_CHECK(written.has_value());
  // Compared as bytes, where NaN equals itself.
  const auto reread = orvo::plist::readBinaryPropertyList(*written);
  FUZZ_CHECK(reread && orvo::plist::writeBinaryPropertyList(*reread) == written);
  return 0;
}
