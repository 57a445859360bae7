#include "platform/SchemeHandlers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#include "platform/KeyFile.h"

namespace orvo::xdg {
namespace {

namespace stdfs = std::filesystem;

constexpr std::string_view kSchemeHandlerType = "x-scheme-handler/";
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

std::string asciiLowered(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), asciiLower);
  return out;
}

// RFC 3986: ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool isSchemeSyntax(std::string_view scheme) {
  const auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (scheme.empty() || !isAlpha(scheme.front())) return false;
  return std::all_of(scheme.begin(), scheme.end(), [&](char c) {
    return isAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
  });
}

// The whole content of a key file; none for a file that is missing, unreadable or too large.
std::optional<fs::FileContent> readKeyFileBytes(const fs::Path& path) {
  std::error_code ec;
  const std::uintmax_t size = stdfs::file_size(path, ec);
  if (ec || size > kMaxKeyFileSize) return std::nullopt;
  fs::FileContent content = fs::readFile(path);
  if (content.status != fs::FileContent::Status::kRead || content.bytes.size() > kMaxKeyFileSize) {
    return std::nullopt;
  }
  return content;
}

std::string_view textOf(const fs::FileContent& content) {
  return {reinterpret_cast<const char*>(content.bytes.data()), content.bytes.size()};
}

bool isExecutableFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

// Whether `program` is installed: an executable file at an absolute path, or a bare name found
// so in a folder of PATH as it is now (unset: execvp's /bin:/usr/bin). A relative path, and a
// relative PATH folder, would name a file of whatever the host's working directory is: neither
// counts. A candidate that cannot be examined is not one that could be run.
bool isInstalledProgram(const std::string& program) {
  if (program.empty() || program.find('\0') != std::string::npos) return false;
  if (program.front() == '/') return isExecutableFile(program);
  if (program.find('/') != std::string::npos) return false;
  const char* path = std::getenv("PATH");
  std::string_view folders = path != nullptr ? path : "/bin:/usr/bin";
  while (!folders.empty()) {
    const std::size_t colon = std::min(folders.find(':'), folders.size());
    const std::string_view folder = folders.substr(0, colon);
    folders.remove_prefix(std::min(colon + 1, folders.size()));
    if (folder.starts_with('/') && isExecutableFile(std::string(folder) + "/" + program)) {
      return true;
    }
  }
  return false;
}

// The application of a desktop entry file, when its program is installed.
std::optional<Application> loadApplication(const fs::Path& file) {
  const std::optional<fs::FileContent> content = readKeyFileBytes(file);
  std::optional<Application> application =
      content ? readApplication(textOf(*content)) : std::nullopt;
  if (application && !isInstalledProgram(application->program)) return std::nullopt;
  return application;
}

// The desktop entries below one applications/ folder as (desktop id, file): the path below the
// folder with '/' turned into '-', in a stable order. Walked without the standard library's
// directory iterators, which end the process when memory runs out.
std::vector<std::pair<std::string, fs::Path>> listDesktopFiles(const fs::Path& applications) {
  std::vector<std::pair<std::string, fs::Path>> found;
  std::vector<std::pair<std::string, int>> pending{{"", 0}};  // relative folder, depth
  std::size_t visited = 0;
  while (!pending.empty() && visited <= kMaxFolderEntries) {
    const auto [relative, depth] = std::move(pending.back());
    pending.pop_back();
    std::string folder = applications.string();
    if (!relative.empty()) folder.append("/").append(relative);
    const std::optional<std::vector<fs::FolderEntry>> entries = fs::entriesIn(folder);
    if (!entries) continue;  // a folder that cannot be read holds no entry of ours
    for (const auto& [name, kind] : *entries) {
      if (++visited > kMaxFolderEntries) break;
      const std::string below =
          relative.empty() ? name : std::string(relative).append("/").append(name);
      if (kind == fs::FolderEntry::Kind::kFolder) {
        if (depth + 1 < kMaxFolderDepth) pending.emplace_back(below, depth + 1);
      } else if (kind == fs::FolderEntry::Kind::kFile && name.size() > kDesktopSuffix.size() &&
                 name.ends_with(kDesktopSuffix)) {
        std::string id = below;
        std::replace(id.begin(), id.end(), '/', '-');
        found.emplace_back(std::move(id), fs::Path(folder) / name);
      }
    }
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
        if (installed_.try_emplace(id, Installed{std::move(file), i, false, std::nullopt}).second) {
          idsByFolder_[i].push_back(id);
        }
      }
    }
    // The lists of the config folders (and of the first data folder) speak for every entry.
    for (const fs::Path& dir : folders_.configDirs) {
      if (visitListsIn(dir, 0)) return true;
    }
    for (std::size_t i = 0; i < folders_.dataDirs.size(); ++i) {
      if (visitListsIn(folders_.dataDirs[i] / "applications", i)) return true;
      for (const std::string& id : idsByFolder_[i]) {
        const Application* a = application(id);
        if (a != nullptr && listsType(*a)) return true;
      }
    }
    return false;
  }

 private:
  struct Installed {
    fs::Path file;
    std::size_t folder;  // index in Folders::dataDirs
    bool loaded = false;
    std::optional<Application> application;
  };

  // The installed application of a desktop id that no removal so far has taken from the type.
  const Application* application(const std::string& id) {
    const auto found = installed_.find(id);
    if (found == installed_.end() || removed_.contains(id)) return nullptr;
    Installed& installed = found->second;
    if (!installed.loaded) installed.application = loadApplication(installed.file);
    installed.loaded = true;
    return installed.application ? &*installed.application : nullptr;
  }

  // Added and removed associations of a data folder's list speak only for the entries of that
  // folder and the ones after it; `scope` is that folder's index.
  bool inScope(const std::string& id, std::size_t scope) const {
    const auto found = installed_.find(id);
    return found != installed_.end() && found->second.folder >= scope;
  }

  bool listsType(const Application& a) const {
    return std::any_of(a.mimeTypes.begin(), a.mimeTypes.end(),
                       [&](const std::string& t) { return equalsIgnoringAsciiCase(t, mimeType_); });
  }

  bool visitListsIn(const fs::Path& dir, std::size_t scope) {
    for (const std::string& desktop : folders_.desktops) {
      if (visitList(dir / (desktop + "-" + std::string(kMimeAppsList)), scope, true)) return true;
    }
    return visitList(dir / kMimeAppsList, scope, false);
  }

  // A default that names an application counts, and so does an added association in scope;
  // then the list's removals hold for the lists and folders that follow. A desktop-specific
  // list holds defaults only. A list that is missing or does not parse is an empty one.
  bool visitList(const fs::Path& list, std::size_t scope, bool desktopSpecific) {
    const std::optional<fs::FileContent> content = readKeyFileBytes(list);
    const std::optional<KeyFile> keys = content ? KeyFile::parse(textOf(*content)) : std::nullopt;
    if (!keys) return false;
    for (const std::string& id : idsFor(*keys, kDefaultApplicationsGroup)) {
      if (application(id) != nullptr) return true;
    }
    if (desktopSpecific) return false;
    for (const std::string& id : idsFor(*keys, kAddedAssociationsGroup)) {
      if (inScope(id, scope) && application(id) != nullptr) return true;
    }
    for (std::string& id : idsFor(*keys, kRemovedAssociationsGroup)) {
      if (inScope(id, scope)) removed_.insert(std::move(id));
    }
    return false;
  }

  std::vector<std::string> idsFor(const KeyFile& keys, std::string_view group) const {
    const std::optional<std::string_view> value = keys.valueIgnoringKeyCase(group, mimeType_);
    std::optional<std::vector<std::string>> ids = value ? decodeStringList(*value) : std::nullopt;
    return ids ? std::move(*ids) : std::vector<std::string>();
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
