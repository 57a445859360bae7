// Fixtures shared by the test suites: a throwaway app group, log capture, child processes.
#ifndef ORVO_TESTS_SUPPORT_TESTSUPPORT_H_
#define ORVO_TESTS_SUPPORT_TESTSUPPORT_H_

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "platform/plist/PropertyList.h"

namespace orvo::testing {

// Sets environment variables while alive and puts the old values back after; none unsets one.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment();
  void set(const std::string& name, const std::optional<std::string>& value);

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// A temporary XDG_DATA_HOME holding the app group's container, removed with all it holds.
// XDG_DATA_HOME is restored afterwards. `base` is where it is made (tmpfs for tests that
// write a lot).
class TempAppGroup {
 public:
  explicit TempAppGroup(const std::string& base = "/tmp");
  TempAppGroup(const TempAppGroup&) = delete;
  TempAppGroup& operator=(const TempAppGroup&) = delete;
  ~TempAppGroup();

  const std::filesystem::path& dataHome() const { return dataHome_; }
  const std::filesystem::path& container() const { return container_; }
  std::filesystem::path suitePath() const;
  std::filesystem::path lastGoodPath() const;  // the suite's last good copy

  // Writes the suite file as a game would (binary property list).
  void writeSuite(const plist::Value& root) const;
  void writeSuiteBytes(const std::string& bytes) const;
  // The suite file as stored: parsed, and raw.
  std::optional<plist::Value> readSuite() const;
  std::string readSuiteBytes() const;
  void writeFile(const std::filesystem::path& relative, const std::string& bytes) const;
  // The stored games registry, and a field of one of its records ("<absent>" when missing).
  plist::Dictionary games() const;
  plist::Value gameField(const std::string& game, const std::string& name) const;

 private:
  std::filesystem::path dataHome_;
  std::filesystem::path container_;
  ScopedEnvironment environment_;
};

// Captures what the module logs on standard error while alive.
using LogCapture = tool::LogCapture;

// Runs `body` in `count` forked child processes at once and waits for all; true when every
// child's body returned true.
bool runInChildren(int count, const std::function<bool(int index)>& body);

// The exit status of a child, waiting at most `seconds`; 128 + the signal when a signal ended
// it, and -1, with the child killed, when it did not end in time.
int exitStatusWithin(int child, int seconds, const std::function<void()>& whileWaiting = {});

// Long loops run lighter where every call is slow (under valgrind or an emulator).
int rounds(int full);

// Two games: A's oldest interstitial lies before any window ending at 100, B's does not block;
// "refCode" R.
plist::Dictionary twoGameSuite();

// A throwaway group on tmpfs holding the two-game suite and the player identity "U".
struct SeededGroup : TempAppGroup {
  SeededGroup();
};

// What lies beside the suite apart from the suite, its lock and the copies that the store keeps
// (its last good copy, damaged copies): leftovers of writers.
std::vector<std::string> leftovers(const TempAppGroup& group);

// Runs a command line through the shell; its exit status and standard output.
struct CommandResult {
  int status;
  std::string output;
};
CommandResult runCommand(const std::string& command);

std::string readFile(const std::filesystem::path& path);

// Text the module returned, taken over and freed; none for null.
std::optional<std::string> takeText(char* returned);

}  // namespace orvo::testing

#endif  // ORVO_TESTS_SUPPORT_TESTSUPPORT_H_
