// What the file-system layer's files share: its system calls, which a test hook can fail and
// which are made again when a signal interrupts them, and its descriptors, never 0, 1 or 2.
#ifndef ORVO_PLATFORM_FILECALLS_H_
#define ORVO_PLATFORM_FILECALLS_H_

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <utility>

#include "platform/FileSystem.h"

namespace orvo::fs::calls {

// The test hook of setFaultHook.
inline std::atomic<FaultHook> faultHook{nullptr};

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

// Opens a file of the module at a descriptor above the standard ones. One that comes back as 0,
// 1 or 2 is never used: a file the attempt created is removed (with whatever another thread
// wrote into it meanwhile), its number goes to /dev/null, and the open is made again.
Descriptor openFile(const FileName& path, int flags, mode_t mode = 0);

}  // namespace orvo::fs::calls

#endif  // ORVO_PLATFORM_FILECALLS_H_
