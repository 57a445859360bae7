#include "platform/Signals.h"

#include <errno.h>
#include <pthread.h>

namespace orvo {
namespace {

constexpr int kQuietSignals[] = {SIGPIPE, SIGXFSZ};

}  // namespace

QuietSignals::QuietSignals() {
  sigemptyset(&quiet_);
  sigemptyset(&pendingBefore_);
  sigemptyset(&raised_);
  for (const int signal : kQuietSignals) sigaddset(&quiet_, signal);
  pthread_sigmask(SIG_BLOCK, &quiet_, &saved_);
  // Only a signal the host blocks itself can be pending: an unblocked one is delivered.
  for (const int signal : kQuietSignals) {
    if (sigismember(&saved_, signal) == 1) {
      sigpending(&pendingBefore_);
      break;
    }
  }
}

QuietSignals::~QuietSignals() {
  const int error = errno;  // the caller's failure, still to be read
  for (const int signal : kQuietSignals) {
    if (sigismember(&raised_, signal) != 1 || sigismember(&pendingBefore_, signal) == 1) continue;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    const timespec noWait{};
    while (sigtimedwait(&one, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  errno = error;
}

void QuietSignals::noteFailure(int error) {
  if (error == EPIPE) sigaddset(&raised_, SIGPIPE);
  if (error == EFBIG) sigaddset(&raised_, SIGXFSZ);
}

}  // namespace orvo
