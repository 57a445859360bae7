// What the libFuzzer targets share: a scratch folder per process, the module's log kept off
// libFuzzer's output, files in and out, and checks that stop the run.
#ifndef ORVO_FUZZ_FUZZSUPPORT_H_
#define ORVO_FUZZ_FUZZSUPPORT_H_

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace orvo::fuzz {

namespace stdfs = std::filesystem;

// A folder of this process, /dev/shm/orvo-fuzz-<pid>-XXXXXX, made on first use and removed at
// exit.
const stdfs::path& scratch();

// Points XDG_DATA_HOME at the scratch folder and makes the app group's container in it.
stdfs::path scratchContainer();

// Points the XDG data and config variables at empty folders of the scratch tree (no current
// desktop), so that only the files a target writes there count.
struct XdgFolders {
  stdfs::path dataHome;    // XDG_DATA_HOME
  stdfs::path configHome;  // XDG_CONFIG_HOME
};
XdgFolders scratchXdgFolders();

// Replaces the file, making its folder when missing.
void writeFile(const stdfs::path& path, std::string_view bytes);
// The whole file; "" when it cannot be read.
std::string readFile(const stdfs::path& path);

inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}
inline std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Standard error goes to /dev/null while one is alive; sanitizer reports and failed checks go
// to the real one all the same.
class QuietStderr {
 public:
  QuietStderr();
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;
  ~QuietStderr();
};

// Text the module returned, released with free as its callers must.
struct FreeText {
  void operator()(char* text) const { std::free(text); }
};
using Returned = std::unique_ptr<char, FreeText>;

[[noreturn]] void fail(const char* condition, const char* file, int line);

}  // namespace orvo::fuzz

// Stops the run, naming the condition, when it does not hold.
#define FUZZ_CHECK(condition) \
  ((condition) ? void() : ::orvo::fuzz::fail(#condition, __FILE__, __LINE__))

#endif  // ORVO_FUZZ_FUZZSUPPORT_H_
