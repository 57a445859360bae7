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

  // What a call gave: the printed result, or why there is none (a message went to stderr).
  struct Result {
    enum class Status {
      kDone,        // `printed` holds the result
      kUsage,       // unknown entry point, wrong number of arguments, a number that is none
      kUnavailable  // the library does not export the entry point or its release function
    };
    Status status;
    std::string printed;
    bool done() const { return status == Status::kDone; }
  };

  // Calls the entry point with arguments converted by its signature; the printed result is a
  // quoted, escaped text, null, 0 or 1, or "(no result)". When `logLines` is given, the log
  // lines the call wrote are captured into it.
  Result call(const std::string& entry, const std::vector<std::string>& args,
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
