// What the module must know of the host's process to stay out of its way: its id, and the
// descriptors that a child forked by the host must not keep.
#ifndef ORVO_PLATFORM_PROCESS_H_
#define ORVO_PLATFORM_PROCESS_H_

#include <cstdint>
#include <optional>

namespace orvo::process {

// The process and thread ids; the process id is asked once and again in a forked child.
long id();
long threadId();

// Puts /dev/null at `fd`, a standard descriptor number (0, 1 or 2) that the host had closed and
// that one of the module's own files or sockets just took, so that what the host writes to it
// goes nowhere and the next descriptor opened lands above it. dup2 closes what `fd` held in the
// same step. False, with `fd` untouched, when /dev/null cannot be had.
bool standInWithNull(int fd);

// How many times the process has forked since the module was loaded, counted before each fork.
std::uint64_t forks();

// A descriptor that a forked child closes at once. A child shares its parent's open file
// descriptions, so a lock taken on one stays held while any copy lives: a child that kept the
// parent's copy would hold the group's lock for as long as it runs.
class ClosedInChildren {
 public:
  // Takes `fd` over; none, with `fd` closed, when the fork handler cannot be installed or too
  // many such descriptors are open. A fork that happened between the open of `fd` and this call
  // left the child a copy that nobody closes: compare forks() before the open with after.
  static std::optional<ClosedInChildren> adopt(int fd);
  ClosedInChildren(ClosedInChildren&& other) noexcept;
  ClosedInChildren& operator=(ClosedInChildren&&) = delete;
  ClosedInChildren(const ClosedInChildren&) = delete;
  ClosedInChildren& operator=(const ClosedInChildren&) = delete;
  ~ClosedInChildren();  // closes the descriptor, unless a child's handler already did

  int get() const { return fd_; }

 private:
  ClosedInChildren(int slot, int fd) : slot_(slot), fd_(fd) {}
  int slot_;
  int fd_;
};

}  // namespace orvo::process

#endif  // ORVO_PLATFORM_PROCESS_H_
