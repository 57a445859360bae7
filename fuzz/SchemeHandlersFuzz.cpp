// A desktop entry and a mimeapps.list (the parts around the first line "%%"): neither the
// scheme's case, CRLF line ends nor a comment line in Latin-1 change whether something handles
// it. The seeds' program, lobby, is installed on PATH.
#include "FuzzSupport.h"
#include "platform/SchemeHandlers.h"

namespace {

using namespace orvo::fuzz;

std::string withCrlf(std::string_view text) {
  std::string out;
  for (const char c : text) out += c == '\n' ? "\r\n" : std::string(1, c);
  return out;
}

bool handled(std::string_view desktopEntry, std::string_view list, std::string_view scheme) {
  static const stdfs::path xdg = [] {
    const stdfs::path root = scratchXdg();
    writeFile(root / "bin" / "lobby", "#!/bin/sh\n");
    stdfs::permissions(root / "bin" / "lobby", stdfs::perms(0755));
    ::setenv("PATH", (root / "bin").c_str(), 1);
    return root;
  }();
  writeFile(xdg / "XDG_DATA_HOME" / "applications" / "orvo-fuzz.desktop", desktopEntry);
  writeFile(xdg / "XDG_CONFIG_HOME" / "mimeapps.list", list);
  return quietly(
      [&] { return orvo::xdg::hasSchemeHandler(scheme, orvo::xdg::foldersFromEnvironment()); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = textOf(data, size);
  const std::size_t cut = input.find("\n%%\n");
  const std::string_view entry = input.substr(0, cut);
  const std::string_view list = cut == input.npos ? "" : input.substr(cut + 4);
  const bool yes = handled(entry, list, "orvo-lobby");
  FUZZ_CHECK(handled(entry, list, "ORVO-Lobby") == yes);
  FUZZ_CHECK(handled(std::string(entry) + "\n# caf\xE9\n", list, "orvo-lobby") == yes);
  if (input.find('\r') == input.npos) {
    FUZZ_CHECK(handled(withCrlf(entry), withCrlf(list), "orvo-lobby") == yes);
  }
  return 0;
}
