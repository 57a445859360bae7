#include "platform/FileSystem.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

namespace orvo::fs {
namespace {

std::atomic<FaultHook> faultHook{nullptr};

// Makes one system call, unless a test hook fails it first (-1 with errno set, as the call
// itself would fail).
template <typename Call>
auto sysOnce(const char* name, Call call) -> decltype(call()) {
  if (const FaultHook hook = faultHook.load(std::memory_order_relaxed)) {
    if (const int error = hook(name)) {
      errno = error;
      return -1;
    }
  }
  return call();
}

// The same, made again when a signal interrupted it: an interruption never fails an operation.
template <typename Call>
auto sys(const char* name, Call call) -> decltype(call()) {
  for (;;) {
    const auto result = sysOnce(name, call);
    if (result >= 0 || errno != EINTR) return result;
  }
}

// Owns one file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    close();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  ~Descriptor() { close(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  bool valid() const { return fd_ >= 0; }
  // Closes now and says whether the close succeeded (it reports late write errors). Linux
  // releases the descriptor even when close is interrupted, so that is no failure and is
  // never retried.
  bool close() {
    if (fd_ < 0) return true;
    const int fd = std::exchange(fd_, -1);
    return sysOnce("close", [fd] { return ::close(fd); }) == 0 || errno == EINTR;
  }

 private:
  int fd_;
};

Descriptor openFile(const FileName& path, int flags, mode_t mode = 0) {
  return Descriptor(sys("open", [&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); }));
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = sys("write", [&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
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

// Reads the rest of the descriptor, refusing more than kMaxFileSize bytes. `expected` is the
// size the file had when opened, where reading stops; a file that showed no size is read to its
// end, its buffer growing as needed.
bool readAll(int fd, std::size_t expected, std::vector<std::uint8_t>& bytes) {
  bytes.resize(expected + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      if (bytes.size() > kMaxFileSize) return false;
      bytes.resize(std::min(bytes.size() * 2, kMaxFileSize + 1));
    }
    const ssize_t n =
        sys("read", [&] { return ::read(fd, bytes.data() + filled, bytes.size() - filled); });
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

Descriptor openLockFile(const FileName& lockFile) {
  // Non-blocking, so that a FIFO planted under the name cannot stall the open.
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  Descriptor fd = openFile(lockFile, O_RDWR | O_CREAT | kFlags, 0666);
  if (!fd.valid() && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    return openFile(lockFile, O_RDONLY | kFlags);  // flock needs no write access
  }
  return fd;
}

}  // namespace

void setFaultHook(FaultHook hook) noexcept { faultHook.store(hook, std::memory_order_relaxed); }

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

bool isDirectory(const FileName& path) {
  struct stat st {};
  return sys("stat", [&] { return ::stat(path.c_str(), &st); }) == 0 && S_ISDIR(st.st_mode);
}

FileContent readFile(const FileName& path) {
  FileContent content;
  Descriptor fd = openFile(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (!fd.valid()) {
    if (errno == ENOENT) content.status = FileContent::Status::kMissing;
    return content;
  }
  struct stat st {};
  if (sys("fstat", [&] { return ::fstat(fd.get(), &st); }) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uintmax_t>(st.st_size) > kMaxFileSize ||
      !readAll(fd.get(), static_cast<std::size_t>(st.st_size), content.bytes)) {
    content.bytes.clear();
    return content;
  }
  content.status = FileContent::Status::kRead;
  content.permissions = st.st_mode & 0777;
  return content;
}

bool replaceFileAtomically(const FileName& target, std::span<const std::uint8_t> bytes,
                           std::optional<mode_t> permissions) {
  if (bytes.size() > kMaxFileSize) return false;
  const std::size_t slash = target.rfind('/');
  const FileName dir = slash == FileName::npos ? "." : target.substr(0, slash);
  // A hidden name beside the target, so that the rename stays within one file system.
  const FileName temp = dir + "/." + target.substr(slash + 1) + ".tmp";
  // Only a file of our own making is written: whatever holds the name (what a killed writer
  // left, a planted link of either kind, a FIFO) is removed and the file created anew.
  constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK;
  Descriptor fd = openFile(temp, kCreate, 0666);
  if (!fd.valid() && errno == EEXIST && removeIfPresent(temp)) fd = openFile(temp, kCreate, 0666);
  if (!fd.valid()) return false;
  const bool replaced =
      (!permissions ||
       sys("fchmod", [&] { return ::fchmod(fd.get(), *permissions & 0777); }) == 0) &&
      writeAll(fd.get(), bytes) && syncDescriptor(fd.get()) && fd.close() &&
      sys("rename", [&] { return ::rename(temp.c_str(), target.c_str()); }) == 0;
  if (!replaced) {
    fd.close();
    removeIfPresent(temp);
    return false;
  }
  // The rename is durable only once the directory entry is.
  return syncDirectory(dir);
}

bool createDirectoriesBelow(const FileName& existingBase, std::string_view relative) {
  FileName current = existingBase;
  while (!relative.empty()) {
    const std::size_t slash = relative.find('/');
    current.append("/").append(relative.substr(0, slash));
    relative.remove_prefix(slash == std::string_view::npos ? relative.size() : slash + 1);
    if (sys("mkdir", [&] { return ::mkdir(current.c_str(), 0777); }) == 0) continue;
    if (errno != EEXIST || !isDirectory(current)) return false;
  }
  return true;
}

std::optional<ExclusiveLock> ExclusiveLock::acquire(const FileName& lockFile,
                                                    std::chrono::milliseconds patience) {
  // Whatever the name holds is locked as it is: a FIFO is opened without waiting and locks as
  // well as a file; a folder or a link is refused by the open.
  Descriptor fd = openLockFile(lockFile);
  if (!fd.valid()) return std::nullopt;
  // flock cannot wait with a limit, so poll, backing off up to a few milliseconds.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + patience;
  std::chrono::microseconds pause(250);
  for (;;) {
    if (sys("flock", [&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) == 0) {
      // The lock file is never deleted: a waiter holding a descriptor of a deleted file would
      // lock a different file than the next opener.
      return ExclusiveLock(fd.release());
    }
    if (errno != EWOULDBLOCK) return std::nullopt;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::microseconds(8000));
  }
}

ExclusiveLock::ExclusiveLock(ExclusiveLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

// Closing the descriptor releases the lock.
ExclusiveLock::~ExclusiveLock() { Descriptor owned(fd_); }

}  // namespace orvo::fs
