// Files of the app group: where its container lies, reading whole files, atomic replace and
// the exclusive lock of read-modify-write sequences.
#ifndef ORVO_PLATFORM_FILESYSTEM_H_
#define ORVO_PLATFORM_FILESYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace orvo::fs {

using Path = std::filesystem::path;

// Largest file the module reads; anything longer is treated as unreadable, so that a hostile
// store costs bounded memory.
inline constexpr std::size_t kMaxReadSize = 64u << 20;

// The group's shared directory: $XDG_DATA_HOME/app-groups/<identifier>, with ~/.local/share
// when XDG_DATA_HOME is unset, empty or relative. None when that directory does not exist:
// the games' installer creates it, never the module.
std::optional<Path> appGroupContainer(std::string_view groupIdentifier);

// Whether something exists at the path (a dangling symbolic link does not).
bool isReachable(const Path& path);

// The whole content of a regular file; none when it cannot be opened or read, is not a
// regular file or is larger than kMaxReadSize.
std::optional<std::vector<std::uint8_t>> readWholeFile(const Path& path);

// Replaces the file with the given bytes so that a reader sees either the old or the new
// content, never a mix, and the new content survives a crash once this returns true.
bool replaceFileAtomically(const Path& target, std::span<const std::uint8_t> bytes);

// Creates the directory and its missing parents below `existingBase`, which must exist.
bool createDirectoriesBelow(const Path& existingBase, const Path& relative);

// An exclusive flock on a lock file, held until destruction. Each lock opens its own
// descriptor, so it also excludes other threads of the same process.
class ExclusiveLock {
 public:
  static std::optional<ExclusiveLock> acquire(const Path& lockFile);
  ExclusiveLock(ExclusiveLock&& other) noexcept;
  ExclusiveLock& operator=(ExclusiveLock&&) = delete;
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;
  ~ExclusiveLock();

 private:
  explicit ExclusiveLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace orvo::fs

#endif  // ORVO_PLATFORM_FILESYSTEM_H_
