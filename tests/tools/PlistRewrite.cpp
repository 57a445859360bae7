// Reads property-list files, binary or XML, and writes each back in the binary format, for the
// comparison with Python's plistlib:  plist_rewrite IN OUT [IN OUT]...
// Exits non-zero when any input was refused or its value could not be written.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/PropertyList.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s IN OUT [IN OUT]...\n", argv[0]);
    return 2;
  }
  int failures = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    const auto value = orvo::plist::readPropertyList(bytes);
    const auto written = value ? orvo::plist::writeBinaryPropertyList(*value) : std::nullopt;
    if (!in || !written) {
      std::fprintf(stderr, "%s: %s\n", argv[i], value ? "cannot write back" : "refused");
      ++failures;
      continue;
    }
    std::ofstream out(argv[i + 1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(written->data()),
              static_cast<std::streamsize>(written->size()));
    if (!out.flush()) {
      std::fprintf(stderr, "%s: cannot write\n", argv[i + 1]);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
