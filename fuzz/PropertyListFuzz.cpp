// Any input, binary or XML: the reader accepts or refuses it without fault, and whatever it
// accepts the writer writes, to bytes that read back to the same value.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto value = orvo::plist::readPropertyList(std::span(data, size));
  if (!value) return 0;
  const auto written = orvo::plist::writeBinaryPropertyList(*value);
  if (!written) __builtin_trap();
  // Compared as bytes, where NaN equals itself.
  const auto reread = orvo::plist::readBinaryPropertyList(*written);
  if (!reread || orvo::plist::writeBinaryPropertyList(*reread) != written) __builtin_trap();
  return 0;
}
