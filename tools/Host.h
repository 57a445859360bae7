// Loads the module and calls its entry points by their exported names, as a game does.
#ifndef ORVO_TOOLS_HOST_H_
#define ORVO_TOOLS_HOST_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvo::tool {

class Host {
 public:
  // Loads the library at `path`; none (with a message on standard error) when it cannot.
  static std::optional<Host> load(const std::string& path);

  // Calls the entry point with arguments converted by its signature and returns the printed
  // result: a quoted, escaped text, null, 0 or 1, or "(no result)". None (with a message) when
  // the entry point is unknown, missing from the library or given the wrong arguments.
  // When `logLines` is given, the log lines the call wrote are captured into it.
  std::optional<std::string> call(const std::string& entry, const std::vector<std::string>& args,
                                  std::vector<std::string>* logLines = nullptr) const;

 private:
  struct Closer {
    void operator()(void* handle) const;
  };
  explicit Host(void* handle) : handle_(handle) {}
  std::unique_ptr<void, Closer> handle_;
};

// The library built beside this program, else the installed one.
std::string defaultLibraryPath();

// One line for each entry point: its name, its arguments and what it returns.
std::string entryPointHelp();

}  // namespace orvo::tool

#endif  // ORVO_TOOLS_HOST_H_
