#include "platform/FileSystem.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <algorithm>
#include <utility>

namespace orvo::fs {
namespace {

// Owns one file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&&) = delete;
  ~Descriptor() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  bool valid() const { return fd_ >= 0; }
  // Closes now and says whether the close succeeded (it reports late write errors).
  bool reset() {
    if (fd_ < 0) return true;
    const bool ok = ::close(std::exchange(fd_, -1)) == 0;
    return ok;
  }

 private:
  int fd_;
};

Descriptor openRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return Descriptor(fd);
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

bool syncDirectory(const Path& dir) {
  Descriptor d = openRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY);
  return d.valid() && ::fsync(d.get()) == 0;
}

// Permissions for the new file: those of the file it replaces, else 0644.
mode_t modeFor(const Path& target) {
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) return st.st_mode & 07777;
  return 0644;
}

}  // namespace

std::optional<Path> appGroupContainer(std::string_view groupIdentifier) {
  if (groupIdentifier.empty() || groupIdentifier.find('/') != std::string_view::npos) return std::nullopt;
  Path base;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return std::nullopt;
    base = Path(home) / ".local" / "share";
  }
  Path container = base / "app-groups" / std::string(groupIdentifier);
  struct stat st {};
  if (::stat(container.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return container;
}

bool isReachable(const Path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<std::vector<std::uint8_t>> readWholeFile(const Path& path) {
  Descriptor fd = openRetrying(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (static_cast<std::uintmax_t>(st.st_size) > kMaxReadSize) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  bytes.resize(static_cast<std::size_t>(st.st_size) + 1);  // +1 notices growth while reading
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      if (bytes.size() > kMaxReadSize) return std::nullopt;
      bytes.resize(std::min(bytes.size() * 2, kMaxReadSize + 1));
    }
    const ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  if (filled > kMaxReadSize) return std::nullopt;
  bytes.resize(filled);
  return bytes;
}

bool replaceFileAtomically(const Path& target, std::span<const std::uint8_t> bytes) {
  const Path dir = target.parent_path();
  // A hidden name beside the target, so that the rename stays within one file system.
  std::string temp = (dir / ".").string();
  temp.append(target.filename().string()).append(".XXXXXX");
  Descriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  const bool written = ::fchmod(fd.get(), modeFor(target)) == 0 && writeAll(fd.get(), bytes) &&
                       ::fsync(fd.get()) == 0 && fd.reset() &&
                       ::rename(temp.c_str(), target.c_str()) == 0;
  if (!written) {
    fd.reset();
    ::unlink(temp.c_str());
    return false;
  }
  // The rename is durable only once the directory entry is.
  return syncDirectory(dir);
}

bool createDirectoriesBelow(const Path& existingBase, const Path& relative) {
  Path current = existingBase;
  for (const Path& part : relative) {
    current /= part;
    if (::mkdir(current.c_str(), 0755) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (::stat(current.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  }
  return true;
}

std::optional<ExclusiveLock> ExclusiveLock::acquire(const Path& lockFile) {
  Descriptor fd = openRetrying(lockFile.c_str(), O_RDWR | O_CREAT | O_NOCTTY, 0644);
  if (!fd.valid()) return std::nullopt;
  int rc;
  do {
    rc = ::flock(fd.get(), LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::nullopt;
  // The lock file is never deleted: a waiter holding a descriptor of a deleted file would
  // lock a different file than the next opener.
  return ExclusiveLock(fd.release());
}

ExclusiveLock::ExclusiveLock(ExclusiveLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

// Closing the descriptor releases the lock.
ExclusiveLock::~ExclusiveLock() { Descriptor owned(fd_); }

}  // namespace orvo::fs
