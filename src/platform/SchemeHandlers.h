// Which installed applications handle a URL scheme, from the freedesktop.org desktop entries
// and mimeapps.list files of the XDG data and config folders.
#ifndef ORVO_PLATFORM_SCHEMEHANDLERS_H_
#define ORVO_PLATFORM_SCHEMEHANDLERS_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/FileSystem.h"

namespace orvo::xdg {

// The folders to look in, most important first.
struct Folders {
  std::vector<fs::Path> dataDirs;     // $XDG_DATA_HOME, then each of $XDG_DATA_DIRS
  std::vector<fs::Path> configDirs;   // $XDG_CONFIG_HOME, then each of $XDG_CONFIG_DIRS
  std::vector<std::string> desktops;  // $XDG_CURRENT_DESKTOP, lower case
};

// The folders the environment names, with the XDG Base Directory defaults for unset or empty
// variables; relative paths are ignored, as that standard asks.
Folders foldersFromEnvironment();

// True when an installed desktop entry handles x-scheme-handler/<scheme>: it lists the type in
// its MimeType, or a mimeapps.list names it for the type under [Default Applications] or
// [Added Associations]. Hidden=true entries count as deleted and shadow those of the same id
// in less important folders; [Removed Associations] drops an entry for the type in the same
// and less important folders. The scheme is compared case-insensitively. Unreadable or
// malformed files count as absent.
bool hasSchemeHandler(std::string_view scheme, const Folders& folders);

}  // namespace orvo::xdg

#endif  // ORVO_PLATFORM_SCHEMEHANDLERS_H_
