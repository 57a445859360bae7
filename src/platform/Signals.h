// Signals that the module's own system calls could raise in the host: SIGPIPE for a write to a
// pipe without a reader, SIGXFSZ for a write past the host's file-size limit. Either would end a
// host that left its default action in place.
#ifndef ORVO_PLATFORM_SIGNALS_H_
#define ORVO_PLATFORM_SIGNALS_H_

#include <signal.h>

namespace orvo {

// Blocks both signals in this thread while alive. A signal that a call of the module raised
// meanwhile is taken back before the host's mask is restored; one that was already pending is
// left for the host. The host's mask and pending signals end as they were.
class QuietSignals {
 public:
  QuietSignals();
  ~QuietSignals();
  QuietSignals(const QuietSignals&) = delete;
  QuietSignals& operator=(const QuietSignals&) = delete;

  // To be called with the errno of a failed write: EPIPE and EFBIG may have raised a signal.
  void noteFailure(int error);

 private:
  sigset_t quiet_{};
  sigset_t saved_{};
  sigset_t pendingBefore_{};
  sigset_t raised_{};
};

}  // namespace orvo

#endif  // ORVO_PLATFORM_SIGNALS_H_
