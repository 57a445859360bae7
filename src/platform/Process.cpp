#include "platform/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <mutex>
#include <utility>

namespace orvo::process {
namespace {

// Nothing here is thread-local: a library loaded with dlopen gets its thread-local storage
// allocated at first use, and a failure there ends the host.
std::atomic<std::uint64_t> forkCount{0};
std::atomic<long> cachedId{0};

// Each slot holds a descriptor + 1, or 0 when free. Updates of one process are serialised by
// the lock itself, so only the threads waiting for it hold a slot at the same time.
constexpr std::size_t kSlots = 256;
constinit std::array<std::atomic<int>, kSlots> slots{};

void beforeFork() { forkCount.fetch_add(1); }

// Runs in the child, which has only the forking thread: no locking, no allocation.
void inChild() {
  cachedId.store(0);
  for (std::atomic<int>& slot : slots) {
    if (const int held = slot.exchange(0); held > 0) ::close(held - 1);
  }
}

// Installed on first need and tried again after a failure (it allocates).
bool forkHandlersInstalled() {
  static std::atomic<bool> installed{false};
  static std::mutex installing;
  if (installed.load(std::memory_order_acquire)) return true;
  const std::lock_guard<std::mutex> guard(installing);
  if (!installed.load(std::memory_order_relaxed) &&
      ::pthread_atfork(beforeFork, nullptr, inChild) == 0) {
    installed.store(true, std::memory_order_release);
  }
  return installed.load(std::memory_order_relaxed);
}

}  // namespace

long id() {
  long known = cachedId.load(std::memory_order_relaxed);
  if (known == 0) {
    known = static_cast<long>(::getpid());
    // Cached only once a fork would renew it.
    if (forkHandlersInstalled()) cachedId.store(known, std::memory_order_relaxed);
  }
  return known;
}

long threadId() { return static_cast<long>(::syscall(SYS_gettid)); }

std::uint64_t forks() { return forkCount.load(); }

bool standInWithNull(int fd) {
  // No O_CLOEXEC: it stands where a standard descriptor stood.
  const int null = ::open("/dev/null", O_RDWR | O_NOCTTY);  // NOLINT(android-cloexec-open)
  if (null < 0) return false;
  int placed = -1;
  while ((placed = ::dup2(null, fd)) < 0 && (errno == EINTR || errno == EBUSY)) {
  }
  if (null > STDERR_FILENO) ::close(null);  // one at 0 to 2 is as good a stand-in
  return placed == fd;
}

std::optional<ClosedInChildren> ClosedInChildren::adopt(int fd) {
  if (forkHandlersInstalled()) {
    for (std::size_t i = 0; i < kSlots; ++i) {
      int expected = 0;
      if (slots[i].compare_exchange_strong(expected, fd + 1)) {
        return ClosedInChildren(static_cast<int>(i), fd);
      }
    }
  }
  ::close(fd);
  return std::nullopt;
}

ClosedInChildren::ClosedInChildren(ClosedInChildren&& other) noexcept
    : slot_(std::exchange(other.slot_, -1)), fd_(std::exchange(other.fd_, -1)) {}

ClosedInChildren::~ClosedInChildren() {
  if (slot_ < 0) return;
  // Zero when a child's handler closed it: the number may name another file by now.
  if (slots[static_cast<std::size_t>(slot_)].exchange(0) == fd_ + 1) ::close(fd_);
}

}  // namespace orvo::process
