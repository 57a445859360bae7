// Standard error, where the module logs, sent to a temporary file while alive: the tool shows
// what a call logged, and the tests check it.
#ifndef ORVO_TOOLS_LOGCAPTURE_H_
#define ORVO_TOOLS_LOGCAPTURE_H_

#include <string>
#include <vector>

namespace orvo::tool {

class LogCapture {
 public:
  LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture();

  // Whole lines as written so far, prefix included.
  std::vector<std::string> rawLines() const;
  // The messages written so far, without the "date time program[pid:tid] " prefix; the
  // continuation lines of a message (a list's rendering) joined back to it.
  std::vector<std::string> lines() const;

 private:
  int saved_;
  int file_ = -1;
};

}  // namespace orvo::tool

#endif  // ORVO_TOOLS_LOGCAPTURE_H_
