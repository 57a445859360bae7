// The exclusive lock of read-modify-write sequences, waited for a bounded time.
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>

#include <algorithm>

#include "platform/FileCalls.h"
#include "platform/FileSystem.h"

namespace orvo::fs {

using calls::Descriptor;
using calls::openFile;
using calls::sys;

namespace {

Descriptor openLockFile(const FileName& lockFile) {
  // Read-only: flock needs no write access, and nothing written by mistake can land in it.
  // Non-blocking, so that a FIFO planted under the name cannot stall the open.
  return openFile(lockFile, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
}

using SteadyClock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

// Sleeps for `pause`, never past `deadline`; false, at once, when the deadline has passed. The
// wake-up time is absolute, so a signal that interrupts the sleep never lengthens it.
bool pauseBefore(SteadyClock::time_point deadline, std::chrono::microseconds pause) {
  const SteadyClock::time_point now = SteadyClock::now();
  if (now >= deadline) return false;
  const auto wake = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::min(now + pause, deadline).time_since_epoch());
  const timespec at{static_cast<time_t>(wake.count() / 1000000000),
                    static_cast<long>(wake.count() % 1000000000)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
  return true;
}

}  // namespace

LockAttempt ExclusiveLock::acquire(const FileName& lockFile, std::chrono::milliseconds patience) {
  const SteadyClock::time_point deadline = SteadyClock::now() + patience;
  const auto failed = [](LockFailure failure) { return LockAttempt{std::nullopt, failure}; };
  for (;;) {
    // Whatever the name holds is locked as it is: a FIFO is opened without waiting and locks as
    // well as a file; a folder or a link is refused by the open.
    const std::uint64_t forksBefore = process::forks();
    Descriptor opened = openLockFile(lockFile);
    if (!opened.valid())
      return failed(errno == ENOENT ? LockFailure::kNoFolder : LockFailure::kFailed);
    std::optional<process::ClosedInChildren> fd =
        process::ClosedInChildren::adopt(opened.release());
    if (!fd) return failed(LockFailure::kFailed);
    // A child forked before the descriptor was adopted has a copy of it that it would keep
    // locked once this process locks it: a fresh descriptor has none.
    if (process::forks() != forksBefore) {
      if (SteadyClock::now() >= deadline) return failed(LockFailure::kTimedOut);
      continue;
    }
    // flock cannot wait with a limit, so poll, backing off up to a few milliseconds.
    std::chrono::microseconds pause(250);
    for (;;) {
      if (sys("flock", [&] { return ::flock(fd->get(), LOCK_EX | LOCK_NB); }) == 0) {
        // The lock file is never deleted: a waiter holding a descriptor of a deleted file would
        // lock a different file than the next opener.
        return LockAttempt{ExclusiveLock(std::move(*fd)), LockFailure::kFailed};
      }
      if (errno != EWOULDBLOCK) return failed(LockFailure::kFailed);
      if (!pauseBefore(deadline, pause)) return failed(LockFailure::kTimedOut);
      pause = std::min(pause * 2, std::chrono::microseconds(8000));
    }
  }
}

}  // namespace orvo::fs
