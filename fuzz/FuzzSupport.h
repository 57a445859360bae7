// What the libFuzzer targets share: scratch XDG folders, files in and out, a muted module log
// and checks that stop the run. Targets rely on the standard headers included here.
#ifndef ORVO_FUZZ_FUZZSUPPORT_H_
#define ORVO_FUZZ_FUZZSUPPORT_H_

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

// Stops the run, naming the condition, when it does not hold.
#define FUZZ_CHECK(condition) \
  ((condition) ? void() : ::orvo::fuzz::fail(#condition, __FILE__, __LINE__))

// Present when a sanitizer's runtime is linked in; the seeds also run without one.
extern "C" __attribute__((weak)) void __sanitizer_set_report_fd(void* fd);

namespace orvo::fuzz {

namespace stdfs = std::filesystem;

[[noreturn]] inline void fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  __builtin_trap();
}

// Runs f with standard error, where the module logs, on /dev/null, off libFuzzer's output;
// sanitizer reports still go to the real one.
template <typename F>
auto quietly(F&& f) {
  static const int kRealStderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  static const int kNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  struct Restore {
    ~Restore() { ::dup2(kRealStderr, STDERR_FILENO); }
  };
  FUZZ_CHECK(kRealStderr >= 0 && kNull >= 0);
  if (__sanitizer_set_report_fd != nullptr) {
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(kRealStderr)));
  }
  ::dup2(kNull, STDERR_FILENO);
  const Restore restore;
  return f();
}

// Points each XDG variable at an empty folder of that name in /dev/shm/orvo-fuzz-<pid>-XXXXXX,
// which is removed at exit; scripts/fuzz.sh finds those of crashed targets by the pid.
inline stdfs::path scratchXdg() {
  struct Scratch {
    stdfs::path root;
    ~Scratch() {
      std::error_code ignored;
      stdfs::remove_all(root, ignored);
    }
  };
  static const Scratch kScratch = [] {
    std::string pattern = "/dev/shm/orvo-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    return Scratch{pattern};
  }();
  for (const char* name :
       {"XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"}) {
    stdfs::create_directories(kScratch.root / name);
    ::setenv(name, (kScratch.root / name).c_str(), 1);
  }
  ::unsetenv("XDG_CURRENT_DESKTOP");
  return kScratch.root;
}

inline stdfs::path appGroupFile(const std::string& name) {
  return scratchXdg() / "XDG_DATA_HOME" / "app-groups" / ORVO_APP_GROUP_IDENTIFIER / name;
}

// Replaces the file, making its folder when missing.
inline void writeFile(const stdfs::path& path, std::string_view bytes) {
  stdfs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::ssize(bytes));
}

inline std::string readFile(const stdfs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Text the module returned, released with free as its callers must.
using Returned = std::unique_ptr<char, decltype([](char* text) { std::free(text); })>;

}  // namespace orvo::fuzz

#endif  // ORVO_FUZZ_FUZZSUPPORT_H_
