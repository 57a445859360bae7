// A desktop entry and a mimeapps.list from one input (the two parts around the first line
// "%%"), asked whether anything handles the scheme orvo-lobby. Besides running without fault:
// the scheme's case does not matter, CRLF line ends read as LF ones, and a yes needs the
// [Desktop Entry] group and the handler type spelled out somewhere in the files.
#include <algorithm>
#include <string>

#include "FuzzSupport.h"
#include "platform/SchemeHandlers.h"

namespace {

namespace stdfs = std::filesystem;
constexpr std::string_view kSeparator = "\n%%\n";

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return out;
}

std::string withCrlf(std::string_view text) {
  std::string out;
  for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

stdfs::path desktopFile, mimeAppsList;
orvo::xdg::Folders folders;

bool handled(std::string_view desktopEntry, std::string_view list, std::string_view scheme) {
  orvo::fuzz::writeFile(desktopFile, desktopEntry);
  orvo::fuzz::writeFile(mimeAppsList, list);
  orvo::fuzz::QuietStderr quiet;
  return orvo::xdg::hasSchemeHandler(scheme, folders);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const orvo::fuzz::XdgFolders xdg = orvo::fuzz::scratchXdgFolders();
  desktopFile = xdg.dataHome / "applications" / "orvo-fuzz.desktop";
  mimeAppsList = xdg.configHome / "mimeapps.list";
  folders = orvo::xdg::foldersFromEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = orvo::fuzz::textOf(data, size);
  const std::size_t cut = input.find(kSeparator);
  const std::string_view entry = input.substr(0, cut);
  const std::string_view list =
      cut == std::string_view::npos ? std::string_view() : input.substr(cut + kSeparator.size());

  const bool yes = handled(entry, list, "orvo-lobby");
  FUZZ_CHECK(handled(entry, list, "ORVO-Lobby") == yes);
  if (input.find('\r') == std::string_view::npos) {
    FUZZ_CHECK(handled(withCrlf(entry), withCrlf(list), "orvo-lobby") == yes);
  }
  if (yes) {
    FUZZ_CHECK(entry.find("[Desktop Entry]") != std::string_view::npos);
    FUZZ_CHECK(lowered(input).find("x-scheme-handler/orvo-lobby") != std::string::npos);
  }
  return 0;
}
