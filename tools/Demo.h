#ifndef ORVO_TOOLS_DEMO_H_
#define ORVO_TOOLS_DEMO_H_

#include <string>

namespace orvo::tool {

// Plays a short session of the group's games against a throwaway app group and prints every
// call, its result and the log lines it caused. Returns the process exit status.
int runDemo(const std::string& libraryPath);

}  // namespace orvo::tool

#endif  // ORVO_TOOLS_DEMO_H_
