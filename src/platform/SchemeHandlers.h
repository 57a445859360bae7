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

// True when an installed application handles x-scheme-handler/<scheme>: a desktop entry of
// Type=Application, not Hidden, whose program is installed (see readApplication), that lists
// the type in its MimeType, or that a mimeapps.list names for the type under [Default
// Applications] or [Added Associations]. A desktop id found in a more important folder shadows
// the same id in the others. [Removed Associations] takes an entry from the type for the lists
// and folders that follow. Added and removed associations of a data folder's list speak only
// for entries of that folder and later ones, and a desktop-specific list
// (<desktop>-mimeapps.list) holds only defaults. The scheme is compared case-insensitively.
// Files that are unreadable or do not parse count as absent.
bool hasSchemeHandler(std::string_view scheme, const Folders& folders);

}  // namespace orvo::xdg

#endif  // ORVO_PLATFORM_SCHEMEHANDLERS_H_
