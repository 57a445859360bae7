// Files of the app group: where its container lies, reading whole files, atomic replace and
// the exclusive lock of read-modify-write sequences.
//
// Only "no such file" (ENOENT) ever means that something is missing; every other failure is a
// failure, which callers turn into their no-value result without touching anything. No file of
// this layer is ever descriptor 0, 1 or 2: a host may have closed its standard descriptors, and
// another thread's write to standard error must not land in the store.
#ifndef ORVO_PLATFORM_FILESYSTEM_H_
#define ORVO_PLATFORM_FILESYSTEM_H_

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Process.h"

namespace orvo::fs {

using Path = std::filesystem::path;
// The store's own files are named by plain strings: a path object parses every name it is
// made of, which costs more than the rest of a small read.
using FileName = std::string;

// Largest file the module reads or writes; a hostile store costs bounded memory, and the module
// never writes a file that it would then refuse to read.
inline constexpr std::size_t kMaxFileSize = 64u << 20;

// Where the group's shared directory lies: $XDG_DATA_HOME/app-groups/<identifier>, with
// ~/.local/share when XDG_DATA_HOME is unset, empty or relative. None when neither names a base
// folder or the identifier is not one path component. It exists only once the games' installer
// has made it: the module never creates it.
std::optional<FileName> appGroupContainerPath(std::string_view groupIdentifier);

// Whether a directory is at the path: yes, no (nothing is there, or something else), or none
// when the path cannot be examined (a permission, an I/O error).
std::optional<bool> isDirectory(const FileName& path);

// The folder of a file name, and the name itself.
FileName folderOf(const FileName& path);
std::string_view baseNameOf(const FileName& path);

// What reading a whole file found.
struct FileContent {
  enum class Status {
    kRead,      // `bytes` holds the whole content of a regular file
    kMissing,   // no such file (ENOENT), and nothing else
    kTooLarge,  // a regular file larger than kMaxFileSize, not read
    kFailed,    // any other failure, or something that is not a regular file
  };
  Status status = Status::kFailed;
  std::vector<std::uint8_t> bytes;
  mode_t permissions = 0;  // the file's permission bits, when read or too large
  timespec modified{};     // its modification time, likewise
};
FileContent readFile(const FileName& path);

// Replaces the file with the given bytes so that a reader sees either the old or the new
// content, never a mix, and the new content survives a crash once this returns true. The new
// file gets `permissions`, or 0666 less the umask when none. With `keepReplacedAs`, the file
// replaced is then kept under that name (itself replaced by a rename), by a hard link or, where
// a link is refused, by writing `replacedBytes` there. False when any step failed: then the
// target is unchanged, except when the last steps failed after the new file was put in place
// (keeping the copy, or the fsync of the folder that makes the rename durable). No temporary
// file is left. Writers of one target must be serialised (the temporary files have fixed names
// beside the target, which also removes the leftovers of a killed writer).
// The bytes may come in pieces, written in order with one gathered write.
struct KeptCopy {
  FileName name;
  std::span<const std::uint8_t> replacedBytes;
};
using Pieces = std::span<const std::span<const std::uint8_t>>;
bool replaceFileAtomically(const FileName& target, Pieces bytes, std::optional<mode_t> permissions,
                           const std::optional<KeptCopy>& keepReplacedAs = std::nullopt);
inline bool replaceFileAtomically(const FileName& target, std::span<const std::uint8_t> bytes,
                                  std::optional<mode_t> permissions,
                                  const std::optional<KeptCopy>& keepReplacedAs = std::nullopt) {
  return replaceFileAtomically(target, Pieces(&bytes, 1), permissions, keepReplacedAs);
}

// Gives `existing` the further name `name`, which must be free, by a hard link or, where a
// link is refused, by writing `bytes` there durably (none: no such fallback). False when the
// name is taken (errno EEXIST) or either way failed. The folder is not synced.
bool addName(const FileName& existing, const FileName& name,
             std::optional<std::span<const std::uint8_t>> bytes);

// The entries of a folder, "." and ".." left out, each with its kind as a path to it resolves
// (a link to a folder is a folder); none when the folder cannot be read.
struct FolderEntry {
  enum class Kind { kFolder, kFile, kOther };  // kFile: a regular file
  std::string name;
  Kind kind;
};
std::optional<std::vector<FolderEntry>> entriesIn(const FileName& folder);

// Removes a file; true when it is gone, also when it was not there.
bool removeFile(const FileName& path);

// Creates the folders of `relative` ("a/b") that are missing below `existingBase`, which must
// exist.
bool createDirectoriesBelow(const FileName& existingBase, std::string_view relative);

// Why an attempt to lock had no lock.
enum class LockFailure {
  kNoFolder,  // the lock file's folder is missing
  kTimedOut,  // another holder kept it for all the patience
  kFailed,    // the lock file cannot be opened or locked
};
struct LockAttempt;

// An exclusive flock on a lock file, held until destruction. Each lock opens its own
// descriptor, so it also excludes other threads of the same process, and no child that the
// host forks keeps it.
class ExclusiveLock {
 public:
  // Waits at most `patience` for the lock, whatever signals interrupt the wait. The lock file
  // is created when missing, never followed through a symbolic link and opened read-only (flock
  // needs no write access).
  static LockAttempt acquire(const FileName& lockFile, std::chrono::milliseconds patience);

 private:
  explicit ExclusiveLock(process::ClosedInChildren fd) : fd_(std::move(fd)) {}
  process::ClosedInChildren fd_;  // closing it releases the lock
};

struct LockAttempt {
  std::optional<ExclusiveLock> lock;
  LockFailure failure = LockFailure::kFailed;  // when there is no lock
};

// Tests make file-system calls fail through this hook: it sees the name of every call of this
// layer before it is made and returns the errno to fail it with, or 0 to let it run. None (the
// default) in normal operation.
using FaultHook = int (*)(const char* call);
void setFaultHook(FaultHook hook) noexcept;

}  // namespace orvo::fs

#endif  // ORVO_PLATFORM_FILESYSTEM_H_
