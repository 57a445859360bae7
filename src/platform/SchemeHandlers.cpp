#include "platform/SchemeHandlers.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#include "platform/Utf8.h"

namespace orvo::xdg {
namespace {

namespace stdfs = std::filesystem;

constexpr std::string_view kSchemeHandlerType = "x-scheme-handler/";
constexpr std::string_view kDesktopEntryGroup = "Desktop Entry";
constexpr std::string_view kDefaultApplicationsGroup = "Default Applications";
constexpr std::string_view kAddedAssociationsGroup = "Added Associations";
constexpr std::string_view kRemovedAssociationsGroup = "Removed Associations";
constexpr std::string_view kDesktopSuffix = ".desktop";
constexpr std::string_view kMimeAppsList = "mimeapps.list";

// Bounds that keep a hostile folder tree cheap: a larger file is no key file, and a folder walk
// stops after so many entries or levels.
constexpr std::uintmax_t kMaxKeyFileSize = 1u << 20;
constexpr std::size_t kMaxFolderEntries = 20000;
constexpr int kMaxFolderDepth = 8;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string asciiLowered(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), asciiLower);
  return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return asciiLower(x) == asciiLower(y);
         });
}

// RFC 3986: ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool isSchemeSyntax(std::string_view scheme) {
  const auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (scheme.empty() || !isAlpha(scheme.front())) return false;
  return std::all_of(scheme.begin(), scheme.end(), [&](char c) {
    return isAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
  });
}

// A key file (desktop entry, mimeapps.list) as its entries in file order.
struct KeyFileEntry {
  std::string group;
  std::string key;
  std::string value;
};
using KeyFile = std::vector<KeyFileEntry>;

// Strict reading: a file that is not UTF-8, has an entry before the first group or a line that
// is neither comment, group header nor entry does not parse, and then counts as absent.
std::optional<KeyFile> parseKeyFile(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  KeyFile entries;
  std::optional<std::string> group;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = trimBlanks(line);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.size() < 3 || line.back() != ']') return std::nullopt;
      const std::string_view name = line.substr(1, line.size() - 2);
      const bool bad = std::any_of(name.begin(), name.end(), [](char c) {
        return c == '[' || c == ']' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
      });
      if (bad) return std::nullopt;
      group = std::string(name);
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || !group) return std::nullopt;
    const std::string_view key = trimBlanks(line.substr(0, equals));
    if (key.empty()) return std::nullopt;
    entries.push_back({*group, std::string(key), std::string(trimBlanks(line.substr(equals + 1)))});
  }
  return entries;
}

std::optional<KeyFile> readKeyFile(const fs::Path& path) {
  std::error_code ec;
  const std::uintmax_t size = stdfs::file_size(path, ec);
  if (ec || size > kMaxKeyFileSize) return std::nullopt;
  const fs::FileContent content = fs::readFile(path);
  if (content.status != fs::FileContent::Status::kRead || content.bytes.size() > kMaxKeyFileSize) {
    return std::nullopt;
  }
  return parseKeyFile(
      std::string_view(reinterpret_cast<const char*>(content.bytes.data()), content.bytes.size()));
}

// A string-list value: items separated by ';', with the escapes of the Desktop Entry format
// resolved (\; stands for a ';' inside an item). Empty items are dropped.
std::vector<std::string> splitList(std::string_view value) {
  std::vector<std::string> items;
  std::string item;
  const auto finish = [&] {
    const std::string_view trimmed = trimBlanks(item);
    if (!trimmed.empty()) items.emplace_back(trimmed);
    item.clear();
  };
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == ';') {
      finish();
    } else if (c == '\\' && i + 1 < value.size()) {
      const char escaped = value[++i];
      switch (escaped) {
        case 's':
          item += ' ';
          break;
        case 'n':
          item += '\n';
          break;
        case 't':
          item += '\t';
          break;
        case 'r':
          item += '\r';
          break;
        case '\\':
        case ';':
          item += escaped;
          break;
        default:
          item += '\\';
          item += escaped;
      }
    } else {
      item += c;
    }
  }
  finish();
  return items;
}

struct DesktopEntry {
  bool usable = false;  // a well-formed desktop entry that is not Hidden
  std::vector<std::string> mimeTypes;
};

DesktopEntry loadDesktopEntry(const fs::Path& file) {
  DesktopEntry entry;
  const std::optional<KeyFile> keys = readKeyFile(file);
  if (!keys) return entry;
  bool hasGroup = false;
  bool hidden = false;
  for (const KeyFileEntry& e : *keys) {
    if (e.group != kDesktopEntryGroup) continue;
    hasGroup = true;
    if (e.key == "Hidden") hidden = e.value == "true";
    if (e.key == "MimeType") entry.mimeTypes = splitList(e.value);
  }
  entry.usable = hasGroup && !hidden;
  return entry;
}

// The desktop entries below one applications/ folder as (desktop id, file): the path below the
// folder with '/' turned into '-', in a stable order.
std::vector<std::pair<std::string, fs::Path>> listDesktopFiles(const fs::Path& applications) {
  std::vector<std::pair<std::string, fs::Path>> found;
  std::error_code ec;
  stdfs::recursive_directory_iterator it(applications,
                                         stdfs::directory_options::skip_permission_denied, ec);
  std::size_t visited = 0;
  for (; !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
    if (++visited > kMaxFolderEntries) break;
    std::error_code typeError;
    if (it->is_directory(typeError)) {
      if (it.depth() + 1 >= kMaxFolderDepth) it.disable_recursion_pending();
      continue;
    }
    const std::string name = it->path().filename().string();
    if (name.size() <= kDesktopSuffix.size() || !name.ends_with(kDesktopSuffix)) continue;
    if (!it->is_regular_file(typeError)) continue;
    std::string id = it->path().lexically_relative(applications).generic_string();
    std::replace(id.begin(), id.end(), '/', '-');
    found.emplace_back(std::move(id), it->path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

// One question, "is there a handler for this type?", answered over the folders in order of
// importance, in the way the MIME Applications standard lists the applications for a type.
class HandlerSearch {
 public:
  HandlerSearch(std::string mimeType, const Folders& folders)
      : mimeType_(std::move(mimeType)), folders_(folders) {}

  bool run() {
    idsByFolder_.resize(folders_.dataDirs.size());
    for (std::size_t i = 0; i < folders_.dataDirs.size(); ++i) {
      for (auto& [id, file] : listDesktopFiles(folders_.dataDirs[i] / "applications")) {
        // A desktop id found in a more important folder shadows the same id further on.
        if (installed_.try_emplace(id, Installed{std::move(file), std::nullopt}).second) {
          idsByFolder_[i].push_back(id);
        }
      }
    }
    for (const fs::Path& dir : folders_.configDirs) {
      if (visitListsIn(dir)) return true;
    }
    for (std::size_t i = 0; i < folders_.dataDirs.size(); ++i) {
      if (visitListsIn(folders_.dataDirs[i] / "applications")) return true;
      for (const std::string& id : idsByFolder_[i]) {
        if (isUsable(id) && listsType(entry(id))) return true;
      }
    }
    return false;
  }

 private:
  struct Installed {
    fs::Path file;
    std::optional<DesktopEntry> loaded;
  };

  const DesktopEntry& entry(const std::string& id) {
    Installed& installed = installed_.at(id);
    if (!installed.loaded) installed.loaded = loadDesktopEntry(installed.file);
    return *installed.loaded;
  }

  bool isUsable(const std::string& id) {
    if (removed_.contains(id) || !installed_.contains(id)) return false;
    return entry(id).usable;
  }

  bool listsType(const DesktopEntry& e) const {
    return std::any_of(e.mimeTypes.begin(), e.mimeTypes.end(),
                       [&](const std::string& t) { return equalsIgnoringCase(t, mimeType_); });
  }

  bool visitListsIn(const fs::Path& dir) {
    for (const std::string& desktop : folders_.desktops) {
      if (visitList(dir / (desktop + "-" + std::string(kMimeAppsList)))) return true;
    }
    return visitList(dir / kMimeAppsList);
  }

  // Defaults and added associations of one mimeapps.list count when they name a usable entry;
  // its removed associations then hold for the lists and folders that follow. A file that is
  // missing or does not parse is an empty one.
  bool visitList(const fs::Path& list) {
    const std::optional<KeyFile> keys = readKeyFile(list);
    if (!keys) return false;
    for (const std::string_view group : {kDefaultApplicationsGroup, kAddedAssociationsGroup}) {
      for (const std::string& id : idsFor(*keys, group)) {
        if (isUsable(id)) return true;
      }
    }
    for (std::string& id : idsFor(*keys, kRemovedAssociationsGroup)) removed_.insert(std::move(id));
    return false;
  }

  std::vector<std::string> idsFor(const KeyFile& keys, std::string_view group) const {
    std::vector<std::string> ids;
    for (const KeyFileEntry& e : keys) {
      if (e.group != group || !equalsIgnoringCase(e.key, mimeType_)) continue;
      for (std::string& id : splitList(e.value)) ids.push_back(std::move(id));
    }
    return ids;
  }

  const std::string mimeType_;
  const Folders& folders_;
  std::map<std::string, Installed> installed_;
  std::vector<std::vector<std::string>> idsByFolder_;
  std::set<std::string> removed_;
};

std::optional<fs::Path> absolutePathFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  fs::Path path(value);
  if (!path.is_absolute()) return std::nullopt;
  return path;
}

void appendPathList(const char* name, std::string_view fallback, std::vector<fs::Path>& out) {
  const char* value = std::getenv(name);
  std::string_view list = value != nullptr && *value != '\0' ? std::string_view(value) : fallback;
  while (true) {
    const std::size_t colon = list.find(':');
    const fs::Path path(list.substr(0, colon));
    if (path.is_absolute()) out.push_back(path);
    if (colon == std::string_view::npos) break;
    list.remove_prefix(colon + 1);
  }
}

}  // namespace

Folders foldersFromEnvironment() {
  Folders folders;
  const std::optional<fs::Path> home = absolutePathFromEnvironment("HOME");
  if (auto dataHome = absolutePathFromEnvironment("XDG_DATA_HOME")) {
    folders.dataDirs.push_back(std::move(*dataHome));
  } else if (home) {
    folders.dataDirs.push_back(*home / ".local" / "share");
  }
  appendPathList("XDG_DATA_DIRS", "/usr/local/share/:/usr/share/", folders.dataDirs);
  if (auto configHome = absolutePathFromEnvironment("XDG_CONFIG_HOME")) {
    folders.configDirs.push_back(std::move(*configHome));
  } else if (home) {
    folders.configDirs.push_back(*home / ".config");
  }
  appendPathList("XDG_CONFIG_DIRS", "/etc/xdg", folders.configDirs);
  if (const char* desktops = std::getenv("XDG_CURRENT_DESKTOP")) {
    std::string_view list(desktops);
    while (!list.empty()) {
      const std::size_t colon = list.find(':');
      const std::string_view name = list.substr(0, colon);
      // The name becomes part of a file name, so nothing that could leave the folder.
      if (!name.empty() && name.find('/') == std::string_view::npos && name != "." &&
          name != "..") {
        folders.desktops.push_back(asciiLowered(name));
      }
      list.remove_prefix(colon == std::string_view::npos ? list.size() : colon + 1);
    }
  }
  return folders;
}

bool hasSchemeHandler(std::string_view scheme, const Folders& folders) {
  if (!isSchemeSyntax(scheme)) return false;
  return HandlerSearch(std::string(kSchemeHandlerType) + asciiLowered(scheme), folders).run();
}

}  // namespace orvo::xdg
