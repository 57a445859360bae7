// What the store promises under faults: every file-system call failing in turn, writers killed
// mid-write, hosts that stall or close their standard error, a lock that is never released, and
// long use of every entry point.
#include <OrvoModule/OrvoModule.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include "RsaPeer.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVO_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(ORVO_TEST_ASAN)
// The sanitizer runtime's own count; GCC ships no header for it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace orvo {
namespace {

namespace stdfs = std::filesystem;
using plist::Array;
using plist::Dictionary;
using plist::Value;
using testing::LogCapture;
using testing::takeText;
using testing::TempAppGroup;
using Text = std::optional<std::string>;

// Long loops run lighter where every call is slow (under valgrind).
int rounds(int full) { return std::getenv("ORVO_TEST_LIGHT") ? std::max(full / 50, 2) : full; }

// Two games: A's oldest interstitial lies before any window ending at 100, B's does not block.
Dictionary seedSuite() {
  Dictionary a, b, games, root;
  a.set("InterstitialsDates", Array{Value(0.0)});
  b.set("InterstitialsDates", Array{Value(5.0)});
  games.set("A", a);
  games.set("B", b);
  root.set("refCode", "R");
  root.set("GamesKey", games);
  return root;
}

// A throwaway group on tmpfs holding the seed suite and a player identity.
struct SeededGroup : TempAppGroup {
  SeededGroup() : TempAppGroup("/dev/shm") {
    writeSuite(seedSuite());
    writeFile("UserData", R"({"UserID":"U"})");
  }
};

// What lies beside the suite apart from the suite and its lock: leftovers of writers.
std::vector<std::string> leftovers(const TempAppGroup& group) {
  const std::string suite = group.suitePath().filename().string();
  std::vector<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(group.suitePath().parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name != suite && name != suite + ".lock") names.push_back(name);
  }
  return names;
}

// The exit status of a child, waiting at most `seconds`; 128 + the signal when a signal ended
// it, and -1, with the child killed, when it did not end in time.
int exitStatusWithin(pid_t child, int seconds, const std::function<void()>& whileWaiting = {}) {
  for (int waited = 0; waited < seconds * 1000; ++waited) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    if (whileWaiting) whileWaiting();
    ::usleep(1000);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return -1;
}

// ---- Every file-system call failing in turn ------------------------------------------------

// Records the store's file-system calls and fails the one at `failAt` with `error`.
struct Injection {
  std::size_t failAt;
  int error;
  std::vector<std::string> calls;
};
Injection* injection = nullptr;

int injectFault(const char* call) {
  injection->calls.emplace_back(call);
  return injection->calls.size() - 1 == injection->failAt ? injection->error : 0;
}

// A call of the module and what it reported: its text, "1" for a yes, none for no value.
struct StoreCall {
  const char* name;
  std::function<Text()> run;
  friend void PrintTo(const StoreCall& c, std::ostream* os) { *os << c.name; }
};

struct Outcome {
  Text reported;
  std::optional<Value> state;
  std::vector<std::string> leftovers;
  std::vector<std::string> calls;
};

Outcome runFailing(const StoreCall& call, std::size_t failAt, int error) {
  SeededGroup group;
  Injection plan{failAt, error, {}};
  injection = &plan;
  fs::setFaultHook(injectFault);
  Text reported;
  {
    LogCapture quiet;
    reported = call.run();
  }
  fs::setFaultHook(nullptr);
  return {reported, group.readSuite(), leftovers(group), plan.calls};
}

class InjectedFault : public ::testing::TestWithParam<StoreCall> {};

TEST_P(InjectedFault, LeavesTheOldOrTheNewStateAndReportsOnlyWhatWasStored) {
  const Outcome clean = runFailing(GetParam(), SIZE_MAX, 0);
  ASSERT_TRUE(clean.reported || GetParam().name == std::string("SetEventDate"));
  const Value old = seedSuite();
  int survived = 0;
  for (std::size_t at = 0; at < clean.calls.size(); ++at) {
    for (const int error : {ENOSPC, EIO, EACCES, ENOMEM, EINTR}) {
      SCOPED_TRACE(clean.calls[at] + " #" + std::to_string(at) + ": " + std::strerror(error));
      const Outcome out = runFailing(GetParam(), at, error);
      ASSERT_TRUE(out.state == old || out.state == clean.state);
      EXPECT_TRUE(out.leftovers.empty());
      // A result means the work was done; an interruption is retried and fails nothing.
      if (out.reported || error == EINTR) {
        EXPECT_EQ(out.reported, clean.reported);
        EXPECT_EQ(out.state, clean.state);
      }
      if (error != EINTR && (clean.calls[at] == "write" || clean.calls[at] == "fsync")) {
        EXPECT_EQ(std::count(out.calls.begin() + static_cast<std::ptrdiff_t>(at), out.calls.end(),
                             "rename"),
                  0);
      }
      ++survived;
    }
  }
  RecordProperty("faults", survived);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, InjectedFault,
    ::testing::Values(
        StoreCall{"GetUserID", [] { return takeText(GetUserID()); }},
        StoreCall{"GetRefCode", [] { return takeText(GetRefCode()); }},
        StoreCall{"GetAllGames", [] { return takeText(GetAllGames()); }},
        StoreCall{"SetEventDate",
                  [] {
                    SetEventDate(2);
                    return Text();
                  }},
        StoreCall{"SetInterstitialDate",
                  [] { return SetInterstitialDate("A", 100, 60) ? Text("1") : Text(); }},
        StoreCall{"SetNextGameOnFire", [] { return takeText(SetNextGameOnFire("A", 4e9)); }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Many writers at once ------------------------------------------------------------------

// Every game's thread and process appends to the event log and to its own interstitials; the
// lock lets none of the updates go lost, and each writer's entries keep their order.
TEST(ConcurrentGames, LoseNoUpdate) {
  constexpr int kProcesses = 4, kThreads = 2, kCalls = 25;
  SeededGroup group;
  Dictionary games;
  for (int w = 0; w < kProcesses * kThreads; ++w) games.set(std::to_string(w), Dictionary());
  Dictionary root;
  root.set("GamesKey", games);
  group.writeSuite(root);
  ASSERT_TRUE(testing::runInChildren(kProcesses, [](int process) {
    LogCapture quiet;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([writer = process * kThreads + t] {
        const std::string game = std::to_string(writer);
        for (int i = 0; i < kCalls; ++i) {
          SetEventDate(writer * 1000 + i);
          SetInterstitialDate(game.c_str(), i, 1e9);  // a window this wide never prunes
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    return true;
  }));
  const std::optional<Value> stored = group.readSuite();
  ASSERT_TRUE(stored);
  const Array& events = *stored->as<Dictionary>()->find("eventsDates")->as<Array>();
  ASSERT_EQ(events.size(), static_cast<std::size_t>(kProcesses * kThreads * kCalls));
  std::vector<int> next(kProcesses * kThreads, 0);
  for (const Value& event : events) {
    const int n = static_cast<int>(*event.number());
    EXPECT_EQ(n % 1000, next[n / 1000]++);
  }
  Array expected;
  for (int i = 0; i < kCalls; ++i) expected.emplace_back(static_cast<double>(i));
  for (int w = 0; w < kProcesses * kThreads; ++w) {
    EXPECT_EQ(group.gameField(std::to_string(w).c_str(), "InterstitialsDates"), Value(expected));
  }
}

// ---- Writers killed at random moments --------------------------------------------------------

// How many events the suite holds, when they are 0, 1, 2, ... as the writers below append them;
// none when it holds anything else or does not parse.
std::optional<std::size_t> countedEvents(const TempAppGroup& group) {
  const std::optional<Value> root = group.readSuite();
  if (!root) return std::nullopt;
  const Value* events = root->as<Dictionary>()->find("eventsDates");
  if (events == nullptr) return 0;
  const Array& list = *events->as<Array>();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] != Value(static_cast<double>(i))) return std::nullopt;
  }
  return list.size();
}

TEST(KilledWriters, LeaveAStateOfAKillFreeRunAndNothingThatAccumulates) {
  SeededGroup group;
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> lifetimeMicros(0, 3000);
  const int kills = rounds(1000);
  std::size_t stored = 0;
  int midWrite = 0;
  for (int kill = 0; kill < kills; ++kill) {
    const pid_t writer = ::fork();
    if (writer == 0) {
      for (std::size_t next = stored;; ++next) SetEventDate(static_cast<double>(next));
    }
    ASSERT_GT(writer, 0);
    ::usleep(static_cast<useconds_t>(lifetimeMicros(random)));
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    const std::optional<std::size_t> count = countedEvents(group);
    ASSERT_TRUE(count && *count >= stored) << "after kill " << kill;
    ASSERT_LE(leftovers(group).size(), 1u);
    midWrite += !leftovers(group).empty();
    // The next writer is not blocked, and takes away what the killed one left.
    SetEventDate(static_cast<double>(*count));
    ASSERT_EQ(countedEvents(group), *count + 1);
    ASSERT_TRUE(leftovers(group).empty());
    stored = *count + 1;
  }
  RecordProperty("kills", kills);
  RecordProperty("killedMidWrite", midWrite);
}

// ---- Hosts that stall or close their standard error ---------------------------------------

TEST(StalledHost, AGameStuckWritingItsLogHoldsNoLock) {
  SeededGroup group;
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_NONBLOCK), 0);
  const std::string block(4096, 'x');
  while (::write(pipeFds[1], block.data(), block.size()) > 0) {
  }
  ::fcntl(pipeFds[1], F_SETFL, 0);  // full, and the next write blocks
  const pid_t stalled = ::fork();
  if (stalled == 0) {
    ::dup2(pipeFds[1], STDERR_FILENO);
    SetLastPlayDate("A", 7);
    std::_Exit(0);
  }
  ::close(pipeFds[1]);
  // Its update is stored though its log line cannot be written...
  for (int i = 0; i < 30000 && group.gameField("A", "LastPlayDate") != Value(7.0); ++i)
    ::usleep(1000);
  EXPECT_EQ(group.gameField("A", "LastPlayDate"), Value(7.0));
  // ...and, stuck in that write, it holds no lock: another game's update goes through.
  EXPECT_EQ(::waitpid(stalled, nullptr, WNOHANG), 0);
  {
    LogCapture quiet;
    EXPECT_EQ(takeText(SetNextGameOnFire("A", 4e9)), "B");
  }
  char drained[4096];
  EXPECT_EQ(exitStatusWithin(stalled, 30,
                             [&] {
                               while (::read(pipeFds[0], drained, sizeof drained) > 0) {
                               }
                             }),
            0);
  ::close(pipeFds[0]);
}

enum class PipeHost { kDefaultAction, kOwnHandler, kBlocked, kOtherThread };
volatile sig_atomic_t sigpipesHandled = 0;

class ClosedStandardError : public ::testing::TestWithParam<PipeHost> {};

// A log line to a pipe without a reader neither ends the host nor reaches its handler, and the
// host's signal mask and pending signals are as they were.
TEST_P(ClosedStandardError, NeitherEndsNorSignalsTheHost) {
  SeededGroup group;
  const pid_t host = ::fork();
  if (host == 0) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) std::_Exit(2);
    ::close(pipeFds[0]);
    ::dup2(pipeFds[1], STDERR_FILENO);
    sigset_t pipeOnly, before, after, pending;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    if (GetParam() == PipeHost::kOwnHandler) ::signal(SIGPIPE, [](int) { sigpipesHandled = 1; });
    if (GetParam() == PipeHost::kBlocked) ::pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr);
    ::pthread_sigmask(SIG_SETMASK, nullptr, &before);
    if (GetParam() == PipeHost::kOtherThread) {
      std::thread([] { SetLastPlayDate("A", 7); }).join();
    } else {
      SetLastPlayDate("A", 7);
    }
    ::pthread_sigmask(SIG_SETMASK, nullptr, &after);
    ::sigpending(&pending);
    const bool untouched = sigpipesHandled == 0 && !sigismember(&pending, SIGPIPE) &&
                           sigismember(&before, SIGPIPE) == sigismember(&after, SIGPIPE);
    std::_Exit(untouched ? 0 : 1);
  }
  EXPECT_EQ(exitStatusWithin(host, 30), 0);
  EXPECT_EQ(group.gameField("A", "LastPlayDate"), Value(7.0));
}

std::string hostName(const ::testing::TestParamInfo<PipeHost>& info) {
  static constexpr const char* kNames[] = {"DefaultAction", "OwnHandler", "Blocked", "OtherThread"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Hosts, ClosedStandardError,
                         ::testing::Values(PipeHost::kDefaultAction, PipeHost::kOwnHandler,
                                           PipeHost::kBlocked, PipeHost::kOtherThread),
                         hostName);

// ---- A lock that is never released ---------------------------------------------------------

TEST(UpdateLock, AWaitThatRunsOutGivesNoValueAndWritesNothing) {
  SeededGroup group;
  const std::string before = group.readSuiteBytes();
  // Held through a description of its own, as another game holds it.
  const std::string lockFile = group.suitePath().string() + ".lock";
  const int holder = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  LogCapture log;
  EXPECT_EQ(takeText(SetNextGameOnFire("A", 4e9)), std::nullopt);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(group.readSuiteBytes(), before);
  ::close(holder);
  EXPECT_EQ(takeText(SetNextGameOnFire("A", 4e9)), "B");
}

// ---- Long use ------------------------------------------------------------------------------

std::size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(ORVO_TEST_ASAN)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

std::size_t openDescriptors() {
  return static_cast<std::size_t>(
      std::distance(stdfs::directory_iterator("/proc/self/fd"), stdfs::directory_iterator()));
}

TEST(LongUse, EveryEntryPointOverAndOverKeepsNoMemoryOrDescriptor) {
  SeededGroup group;
  testing::ScopedEnvironment env;
  for (const char* name : {"XDG_DATA_DIRS", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"}) {
    env.set(name, group.dataHome().string());
  }
  static const peer::RsaPeer peer(2048);
  const std::string key = peer.publicPem(), message = peer.message({"hi"});
  LogCapture quiet;
  const auto round = [&](int i) {
    if (i % 100 == 0) group.writeSuite(seedSuite());  // the store stays the same size
    for (char* text :
         {GetStoreCode(), GetUserID(), GetRefCode(), GetAllGames(), GetCurrentGam\u0435OnFire(),
          SetNextGameOnFire("A", 4e9), GetEncryptedData("hi", key.c_str()),
          GetDecryptedData(message.c_str(), key.c_str())}) {
      std::free(text);
    }
    SetEventDate(i);
    SetLastPlayDate("A", i);
    SetInterstitialDate("A", 100.0 + i, 60);
    CanOpenURL("orvo://lobby");
    IsVPNEnabled();
  };
  for (int i = 0; i < 200; ++i) round(i);
  const std::size_t heap = heapInUse(), descriptors = openDescriptors();
  for (int i = 0; i < rounds(20000); ++i) round(i);
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_LE(heapInUse(), heap + 64 * 1024) << "from " << heap;
}

}  // namespace
}  // namespace orvo
