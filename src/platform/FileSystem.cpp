#include "platform/FileSystem.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "platform/FileCalls.h"
#include "platform/Process.h"
#include "platform/Signals.h"

namespace orvo::fs {

using calls::Descriptor;
using calls::openFile;
using calls::sys;

namespace {

// Writes the pieces in order, with as few calls as the kernel allows.
bool writeAll(int fd, Pieces pieces, QuietSignals& quiet) {
  std::vector<iovec> left;
  left.reserve(pieces.size());
  for (const std::span<const std::uint8_t> piece : pieces) {
    if (!piece.empty()) left.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
  }
  for (std::size_t first = 0; first < left.size();) {
    const int count = static_cast<int>(std::min<std::size_t>(left.size() - first, IOV_MAX));
    const ssize_t n = sys("write", [&] { return ::writev(fd, left.data() + first, count); });
    if (n < 0) quiet.noteFailure(errno);
    if (n <= 0) return false;
    for (auto written = static_cast<std::size_t>(n); written > 0;) {
      iovec& piece = left[first];
      const std::size_t step = std::min(written, piece.iov_len);
      piece.iov_base = static_cast<std::uint8_t*>(piece.iov_base) + step;
      piece.iov_len -= step;
      written -= step;
      first += piece.iov_len == 0;
    }
  }
  return true;
}

bool syncDescriptor(int fd) {
  return sys("fsync", [fd] { return ::fsync(fd); }) == 0;
}

bool syncDirectory(const FileName& dir) {
  Descriptor d = openFile(dir, O_RDONLY | O_DIRECTORY);
  return d.valid() && syncDescriptor(d.get()) && d.close();
}

bool removeIfPresent(const FileName& path) {
  return sys("unlink", [&] { return ::unlink(path.c_str()); }) == 0 || errno == ENOENT;
}

bool renameOver(const FileName& from, const FileName& to) {
  return sys("rename", [&] { return ::rename(from.c_str(), to.c_str()); }) == 0;
}

// A hidden name beside `name` in the same folder, so that a rename stays within one file system.
FileName temporaryNameFor(const FileName& name) {
  return folderOf(name) + "/." + std::string(baseNameOf(name)) + ".tmp";
}

// Reads the rest of the descriptor, refusing more than kMaxFileSize bytes. `expected` is the
// size the file had when opened, where reading stops; a file that showed no size is read to its
// end, its buffer growing as needed. pread leaves the descriptor's offset alone, which a host
// thread reading a standard descriptor that this one briefly was could otherwise move.
bool readAll(int fd, std::size_t expected, std::vector<std::uint8_t>& bytes) {
  bytes.resize(expected + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      if (bytes.size() > kMaxFileSize) return false;
      bytes.resize(std::min(bytes.size() * 2, kMaxFileSize + 1));
    }
    const ssize_t n = sys("read", [&] {
      return ::pread(fd, bytes.data() + filled, bytes.size() - filled, static_cast<off_t>(filled));
    });
    if (n < 0) return false;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
    // The whole file as it was opened: the module replaces files, it never grows one in place.
    if (filled == expected) break;
  }
  if (filled > kMaxFileSize) return false;
  bytes.resize(filled);
  return true;
}

// Writes a new file at `temp` and makes its content durable; false, with no file left there,
// when any step fails. Only a file of our own making is written: whatever holds the name (what
// a killed writer left, a planted link of either kind, a FIFO) is removed and the file created
// anew.
bool writeTemporary(const FileName& temp, Pieces bytes, std::optional<mode_t> permissions) {
  constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK;
  Descriptor fd = openFile(temp, kCreate, 0666);
  if (!fd.valid() && errno == EEXIST && removeIfPresent(temp)) fd = openFile(temp, kCreate, 0666);
  if (!fd.valid()) return false;
  bool written = false;
  {
    QuietSignals quiet;  // a write past the host's file-size limit raises SIGXFSZ
    written = (!permissions ||
               sys("fchmod", [&] { return ::fchmod(fd.get(), *permissions & 0777); }) == 0) &&
              writeAll(fd.get(), bytes, quiet);
  }
  if (written && syncDescriptor(fd.get()) && fd.close()) return true;
  fd.close();
  removeIfPresent(temp);
  return false;
}

// Whether a hard link was refused where writing the file would be allowed: protected hard
// links (a file of another owner), a file system without them (EOPNOTSUPP, which is ENOTSUP on
// Linux), a file with too many.
bool linkRefused(int error) { return error == EPERM || error == EMLINK || error == EOPNOTSUPP; }

enum class Linked { kDone, kRefused, kFailed };

// A new hard link `temp` to `existing`, where a leftover of a killed writer may stand.
Linked linkTemporary(const FileName& existing, const FileName& temp) {
  const auto link = [&] {
    return sys("link", [&] { return ::link(existing.c_str(), temp.c_str()); });
  };
  if (link() == 0 || (errno == EEXIST && removeIfPresent(temp) && link() == 0)) {
    return Linked::kDone;
  }
  return linkRefused(errno) ? Linked::kRefused : Linked::kFailed;
}

// Puts a copy of `existing` (or of `bytes`, where a link is refused) at `temp`, durably.
bool copyToTemporary(const FileName& existing, const FileName& temp,
                     std::span<const std::uint8_t> bytes, std::optional<mode_t> permissions) {
  switch (linkTemporary(existing, temp)) {
    case Linked::kDone:
      return true;
    case Linked::kRefused:
      return writeTemporary(temp, Pieces(&bytes, 1), permissions);
    case Linked::kFailed:
      break;
  }
  return false;
}

}  // namespace

Descriptor calls::openFile(const FileName& path, int flags, mode_t mode) {
  for (;;) {
    const int fd = sys("open", [&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
    if (fd < 0 || fd > STDERR_FILENO) return Descriptor(fd);
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) ::unlink(path.c_str());
    if (!process::standInWithNull(fd)) {
      const int error = errno;
      ::close(fd);
      errno = error;
      return Descriptor();
    }
  }
}

void setFaultHook(FaultHook hook) noexcept {
  calls::faultHook.store(hook, std::memory_order_relaxed);
}

std::optional<FileName> appGroupContainerPath(std::string_view groupIdentifier) {
  if (groupIdentifier.empty() || groupIdentifier.find('/') != std::string_view::npos)
    return std::nullopt;
  FileName base;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return std::nullopt;
    base = std::string(home) + "/.local/share";
  }
  return base.append("/app-groups/").append(groupIdentifier);
}

std::optional<bool> isDirectory(const FileName& path) {
  struct stat st {};
  if (sys("stat", [&] { return ::stat(path.c_str(), &st); }) == 0) return S_ISDIR(st.st_mode);
  if (errno == ENOENT || errno == ENOTDIR) return false;
  return std::nullopt;
}

FileName folderOf(const FileName& path) {
  const std::size_t slash = path.rfind('/');
  return slash == FileName::npos ? "." : path.substr(0, slash);
}

std::string_view baseNameOf(const FileName& path) {
  return std::string_view(path).substr(path.rfind('/') + 1);
}

FileContent readFile(const FileName& path) {
  FileContent content;
  Descriptor fd = openFile(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (!fd.valid()) {
    if (errno == ENOENT) content.status = FileContent::Status::kMissing;
    return content;
  }
  struct stat st {};
  if (sys("fstat", [&] { return ::fstat(fd.get(), &st); }) != 0 || !S_ISREG(st.st_mode)) {
    return content;
  }
  content.permissions = st.st_mode & 0777;
  content.modified = st.st_mtim;
  if (static_cast<std::uintmax_t>(st.st_size) > kMaxFileSize) {
    content.status = FileContent::Status::kTooLarge;
    return content;
  }
  if (!readAll(fd.get(), static_cast<std::size_t>(st.st_size), content.bytes)) {
    content.bytes.clear();
    return content;
  }
  content.status = FileContent::Status::kRead;
  return content;
}

bool replaceFileAtomically(const FileName& target, Pieces bytes, std::optional<mode_t> permissions,
                           const std::optional<KeptCopy>& keepReplacedAs) {
  std::size_t size = 0;
  for (const std::span<const std::uint8_t> piece : bytes) size += piece.size();
  if (size > kMaxFileSize) return false;
  const FileName temp = temporaryNameFor(target);
  if (!writeTemporary(temp, bytes, permissions)) return false;
  // The file replaced gets a second name first and takes the kept copy's name only once the new
  // file is in place, so that the kept copy is never the file in place.
  const std::optional<FileName> keptTemp =
      keepReplacedAs ? std::optional<FileName>(temporaryNameFor(keepReplacedAs->name))
                     : std::nullopt;
  if (keptTemp && !copyToTemporary(target, *keptTemp, keepReplacedAs->replacedBytes, permissions)) {
    removeIfPresent(temp);
    return false;
  }
  const bool replaced = renameOver(temp, target);
  if (!replaced) removeIfPresent(temp);
  if (keptTemp && !(replaced && renameOver(*keptTemp, keepReplacedAs->name))) {
    removeIfPresent(*keptTemp);
    return false;
  }
  // The renames are durable only once the directory entries are.
  return replaced && syncDirectory(folderOf(target));
}

bool addName(const FileName& existing, const FileName& name,
             std::optional<std::span<const std::uint8_t>> bytes) {
  if (sys("link", [&] { return ::link(existing.c_str(), name.c_str()); }) == 0) return true;
  if (!linkRefused(errno) || !bytes) return false;
  const FileName temp = temporaryNameFor(name);
  if (!writeTemporary(temp, Pieces(&*bytes, 1), std::nullopt)) return false;
  if (sys("rename", [&] {
        return ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE);
      }) == 0) {
    return true;
  }
  const int error = errno;
  removeIfPresent(temp);
  errno = error;
  return false;
}

std::optional<std::vector<FolderEntry>> entriesIn(const FileName& folder) {
  Descriptor fd = openFile(folder, O_RDONLY | O_DIRECTORY);
  if (!fd.valid()) return std::nullopt;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd.get()), ::closedir);
  if (!dir) return std::nullopt;
  const int dirFd = fd.release();  // the stream closes it
  std::vector<FolderEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    unsigned char type = entry->d_type;
    if (type == DT_LNK || type == DT_UNKNOWN) {
      struct stat st {};
      type = ::fstatat(dirFd, entry->d_name, &st, 0) != 0 ? DT_UNKNOWN
             : S_ISDIR(st.st_mode)                        ? DT_DIR
             : S_ISREG(st.st_mode)                        ? DT_REG
                                                          : DT_UNKNOWN;
    }
    entries.push_back({std::string(name), type == DT_DIR   ? FolderEntry::Kind::kFolder
                                          : type == DT_REG ? FolderEntry::Kind::kFile
                                                           : FolderEntry::Kind::kOther});
    errno = 0;
  }
  if (errno != 0) return std::nullopt;
  return entries;
}

bool removeFile(const FileName& path) { return removeIfPresent(path); }

bool createDirectoriesBelow(const FileName& existingBase, std::string_view relative) {
  FileName current = existingBase;
  while (!relative.empty()) {
    const std::size_t slash = relative.find('/');
    current.append("/").append(relative.substr(0, slash));
    relative.remove_prefix(slash == std::string_view::npos ? relative.size() : slash + 1);
    if (sys("mkdir", [&] { return ::mkdir(current.c_str(), 0777); }) == 0) continue;
    if (errno != EEXIST || !isDirectory(current).value_or(false)) return false;
  }
  return true;
}

}  // namespace orvo::fs
