#include "FuzzSupport.h"

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace orvo::fuzz {
namespace {

class ScratchFolder {
 public:
  // Named with the process id, so that whoever started a target that crashed (and so never
  // got to its clean-up at exit) can remove the folder.
  ScratchFolder() {
    std::string pattern = "/dev/shm/orvo-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp under /dev/shm", __FILE__, __LINE__);
    path_ = pattern;
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    std::error_code ignored;
    stdfs::remove_all(path_, ignored);
  }
  const stdfs::path& path() const { return path_; }

 private:
  stdfs::path path_;
};

// The real standard error, kept for the whole run, and /dev/null to swap in for it.
class Descriptors {
 public:
  Descriptors()
      : stderr_(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)),
        null_(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {
    if (stderr_ < 0 || null_ < 0) std::abort();
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(stderr_)));
  }
  Descriptors(const Descriptors&) = delete;
  Descriptors& operator=(const Descriptors&) = delete;
  // Leak reports at exit come after this, on the real descriptor 2 again.
  ~Descriptors() {
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(STDERR_FILENO)));
    ::close(stderr_);
    ::close(null_);
  }
  int realStderr() const { return stderr_; }
  int null() const { return null_; }

 private:
  int stderr_;
  int null_;
};

const Descriptors& descriptors() {
  static const Descriptors kDescriptors;
  return kDescriptors;
}

}  // namespace

const stdfs::path& scratch() {
  static const ScratchFolder kFolder;
  return kFolder.path();
}

stdfs::path scratchContainer() {
  ::setenv("XDG_DATA_HOME", scratch().c_str(), 1);
  const stdfs::path container = scratch() / "app-groups" / ORVO_APP_GROUP_IDENTIFIER;
  stdfs::create_directories(container);
  return container;
}

XdgFolders scratchXdgFolders() {
  const XdgFolders folders{scratch() / "data", scratch() / "config"};
  const std::pair<const char*, stdfs::path> variables[] = {
      {"XDG_DATA_HOME", folders.dataHome},
      {"XDG_DATA_DIRS", scratch() / "data-dirs"},
      {"XDG_CONFIG_HOME", folders.configHome},
      {"XDG_CONFIG_DIRS", scratch() / "config-dirs"}};
  for (const auto& [name, folder] : variables) {
    stdfs::create_directories(folder);
    ::setenv(name, folder.c_str(), 1);
  }
  ::unsetenv("XDG_CURRENT_DESKTOP");
  return folders;
}

void writeFile(const stdfs::path& path, std::string_view bytes) {
  stdfs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readFile(const stdfs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

QuietStderr::QuietStderr() {
  std::fflush(stderr);
  ::dup2(descriptors().null(), STDERR_FILENO);
}

QuietStderr::~QuietStderr() {
  std::fflush(stderr);
  ::dup2(descriptors().realStderr(), STDERR_FILENO);
}

void fail(const char* condition, const char* file, int line) {
  ::dprintf(descriptors().realStderr(), "%s:%d: check failed: %s\n", file, line, condition);
  __builtin_trap();
}

}  // namespace orvo::fuzz
