// The module in the host's process: whatever the host does with its descriptors, forks,
// signals, limits, memory and locale, the module neither damages the store nor stops the group,
// and raises nothing in the host.
#include <OrvoModule/OrvoModule.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <fstream>
#include <thread>

#include "platform/DefaultsSuite.h"
#include "support/TestSupport.h"

namespace orvo {
namespace {

namespace stdfs = std::filesystem;
using plist::Array;
using plist::Dictionary;
using plist::Value;
using testing::exitStatusWithin;
using testing::LogCapture;
using testing::rounds;
using testing::SeededGroup;
using testing::takeText;

std::size_t storedEvents(const testing::TempAppGroup& group) {
  const std::optional<Value> root = group.readSuite();
  const Value* events = root ? root->as<Dictionary>()->find("eventsDates") : nullptr;
  return events ? events->as<Array>()->size() : 0;
}

bool storesEvent(const testing::TempAppGroup& group, double event) {
  const std::optional<Value> root = group.readSuite();
  const Value* events = root ? root->as<Dictionary>()->find("eventsDates") : nullptr;
  if (events == nullptr) return false;
  const Array& list = *events->as<Array>();
  return std::find(list.begin(), list.end(), Value(event)) != list.end();
}

// ---- Standard descriptors ------------------------------------------------------------------

// A host that closed 0, 1 and 2 while threads log: the module's files never take those numbers,
// so no log line lands in the suite or its lock file.
TEST(ClosedStandardDescriptors, NoLogLineLandsInTheStore) {
  SeededGroup group;
  testing::ScopedEnvironment env;
  env.set("XDG_DATA_DIRS", group.dataHome().string());  // no desktop entries to read
  constexpr int kCalls = 10;
  const int hosts = rounds(100);
  for (int host = 0; host < hosts; ++host) {
    const pid_t child = ::fork();
    if (child == 0) {
      for (const int fd : {0, 1, 2}) ::close(fd);
      const auto events = [] {
        for (int i = 0; i < kCalls; ++i) SetEventDate(i);
      };
      std::thread a(events), b(events), c([] {
        for (int i = 0; i < kCalls; ++i) CanOpenURL("orvo://lobby");
      });
      a.join(), b.join(), c.join();
      std::_Exit(0);
    }
    ASSERT_EQ(exitStatusWithin(child, 60), 0);
  }
  EXPECT_EQ(storedEvents(group), static_cast<std::size_t>(hosts * 2 * kCalls));
  EXPECT_EQ(stdfs::file_size(stdfs::path(group.suitePath()).concat(".lock")), 0u);
  for (const auto& entry : stdfs::directory_iterator(group.suitePath().parent_path())) {
    EXPECT_EQ(testing::readFile(entry.path()).find("canOpenURL"), std::string::npos)
        << entry.path();
  }
}

// ---- Forks ---------------------------------------------------------------------------------

// A child forked while another thread of the host is inside an update keeps no lock: the
// parent's next update goes through at once, and the child's own calls work.
TEST(ForkedChild, NeverHoldsTheGroupsLock) {
  SeededGroup group;
  const int forks = rounds(20);
  for (int round = 0; round < forks; ++round) {
    std::atomic<bool> inside{false}, forked{false};
    std::thread updater([&] {
      DefaultsSuite::update(ORVO_APP_GROUP_IDENTIFIER, [&](DefaultsSuite&) {
        inside = true;
        while (!forked) std::this_thread::yield();
        return false;
      });
    });
    while (!inside) std::this_thread::yield();
    const pid_t child = ::fork();
    if (child == 0) {
      SetEventDate(1000 + round);
      ::pause();  // lives on until killed, as a child that only sleeps
      std::_Exit(0);
    }
    forked = true;
    updater.join();
    SetEventDate(round);
    for (int i = 0; i < 10000 && !storesEvent(group, 1000 + round); ++i) ::usleep(1000);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(storesEvent(group, round)) << "the parent was locked out after fork " << round;
    ASSERT_TRUE(storesEvent(group, 1000 + round)) << "the child was locked out, fork " << round;
  }
}

// ---- Signals -------------------------------------------------------------------------------

// A signal every 30 us, whose handler does not restart system calls: a wait for the lock ends
// at its deadline whatever interrupts it, and no interrupted call changes a result.
TEST(SignalStorm, NeitherLengthensTheLockWaitNorChangesAResult) {
  for (const bool released : {true, false}) {
    SCOPED_TRACE(released ? "the lock is released after 1 s" : "the lock is never released");
    SeededGroup group;
    const std::string lockFile = group.suitePath().string() + ".lock";
    const int holder = ::open(lockFile.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    const pid_t host = ::fork();
    if (host == 0) {
      ::close(holder);  // the parent's lock, not the child's
      struct sigaction action {};
      action.sa_handler = [](int) {};
      ::sigaction(SIGALRM, &action, nullptr);
      const itimerval every{{0, 30}, {0, 30}};
      ::setitimer(ITIMER_REAL, &every, nullptr);
      SetEventDate(42);
      std::_Exit(takeText(GetRefCode()) == "R" ? 0 : 1);
    }
    if (released) {
      ::sleep(1);
      ::close(holder);
    }
    // Far more than the 5 s a wait may take; an unbounded wait never ends at all.
    EXPECT_EQ(exitStatusWithin(host, 30), 0);
    if (!released) ::close(holder);
    EXPECT_EQ(storesEvent(group, 42), released);
  }
}

enum class Raiser { kPipeWithoutReader, kFileSizeLimit };
enum class SignalHost { kDefaultAction, kOwnHandler, kBlocked, kOtherThread };
volatile sig_atomic_t signalsHandled = 0;

class SignalOfAWrite : public ::testing::TestWithParam<std::tuple<Raiser, SignalHost>> {};

// A log line to a pipe without a reader (SIGPIPE) or a suite past the host's file-size limit
// (SIGXFSZ) neither ends the host nor reaches its handler, and the host's signal mask and
// pending signals are as they were. The suite is written only where it fits.
TEST_P(SignalOfAWrite, NeitherEndsNorSignalsTheHost) {
  const auto [raiser, kind] = GetParam();
  const int signal = raiser == Raiser::kPipeWithoutReader ? SIGPIPE : SIGXFSZ;
  SeededGroup group;
  const std::string before = group.readSuiteBytes();
  const pid_t host = ::fork();
  if (host == 0) {
    if (raiser == Raiser::kPipeWithoutReader) {
      int pipeFds[2];
      if (::pipe(pipeFds) != 0) std::_Exit(2);
      ::close(pipeFds[0]);
      ::dup2(pipeFds[1], STDERR_FILENO);
    } else {
      const rlimit small{16, 16};  // below the suite's size
      ::setrlimit(RLIMIT_FSIZE, &small);
    }
    sigset_t only, maskBefore, maskAfter, pending;
    sigemptyset(&only);
    sigaddset(&only, signal);
    if (kind == SignalHost::kOwnHandler) ::signal(signal, [](int) { signalsHandled = 1; });
    if (kind == SignalHost::kBlocked) ::pthread_sigmask(SIG_BLOCK, &only, nullptr);
    ::pthread_sigmask(SIG_SETMASK, nullptr, &maskBefore);
    if (kind == SignalHost::kOtherThread) {
      std::thread([] { SetLastPlayDate("A", 7); }).join();
    } else {
      SetLastPlayDate("A", 7);
    }
    ::pthread_sigmask(SIG_SETMASK, nullptr, &maskAfter);
    ::sigpending(&pending);
    const bool untouched = signalsHandled == 0 && !sigismember(&pending, signal) &&
                           sigismember(&maskBefore, signal) == sigismember(&maskAfter, signal);
    std::_Exit(untouched ? 0 : 1);
  }
  EXPECT_EQ(exitStatusWithin(host, 30), 0);
  if (raiser == Raiser::kPipeWithoutReader) {
    EXPECT_EQ(group.gameField("A", "LastPlayDate"), Value(7.0));
  } else {
    EXPECT_EQ(group.readSuiteBytes(), before);
    EXPECT_TRUE(testing::leftovers(group).empty());
  }
}

std::string writeSignalName(const ::testing::TestParamInfo<std::tuple<Raiser, SignalHost>>& info) {
  static constexpr const char* kRaisers[] = {"Pipe", "FileSize"};
  static constexpr const char* kHosts[] = {"DefaultAction", "OwnHandler", "Blocked", "OtherThread"};
  return std::string(kRaisers[static_cast<int>(std::get<0>(info.param))]) +
         kHosts[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, SignalOfAWrite,
    ::testing::Combine(::testing::Values(Raiser::kPipeWithoutReader, Raiser::kFileSizeLimit),
                       ::testing::Values(SignalHost::kDefaultAction, SignalHost::kOwnHandler,
                                         SignalHost::kBlocked, SignalHost::kOtherThread)),
    writeSignalName);

// ---- A host stalled on its standard error -----------------------------------------------------

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

// ---- Memory ----------------------------------------------------------------------------------

// A C host loads the module with dlopen and runs every entry point with its allocations failing
// from the first, the second, ... on: each call gives its result or its no-value result, the
// store still reads, and nothing aborts.
TEST(OutOfMemory, EveryAllocationFailingGivesTheNoValueResult) {
  if (std::string(ORVO_OOM_HOST).empty()) {
    GTEST_SKIP() << "the sanitizers' allocator cannot be replaced by the host's own";
  }
  SeededGroup group;
  testing::ScopedEnvironment env;
  env.set("XDG_DATA_DIRS", (group.dataHome() / "share").string());
  const stdfs::path entry = group.dataHome() / "share/applications/vendor/orvo.desktop";
  stdfs::create_directories(entry.parent_path());
  std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=/bin/sh\n"
                          "MimeType=x-scheme-handler/orvo;\n";
  const testing::CommandResult run = testing::runCommand(
      std::string(ORVO_EMULATOR) + " " + ORVO_OOM_HOST + " " + ORVO_LIBRARY_PATH +
      " GetUserID GetRefCode GetAllGames GetCurrentGam\u0435OnFire SetEventDate SetLastPlayDate "
      "SetInterstitialDate SetNextGameOnFire GetStoreCode CanOpenURL IsVPNEnabled 2>/dev/null");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("IsVPNEnabled:"), std::string::npos) << run.output;
}

// ---- Locale ----------------------------------------------------------------------------------

// Under a locale whose decimal separator is a comma, every number the module prints, stores or
// reads is as in the C locale.
TEST(CommaDecimalLocale, ChangesNoNumber) {
  const testing::TempAppGroup locales;
  const std::string folder = locales.dataHome().string();
  const testing::CommandResult made =
      testing::runCommand("localedef -i de_DE -f UTF-8 " + folder + "/de_DE.UTF-8 2>&1");
  ASSERT_TRUE(made.status == 0 || stdfs::exists(folder + "/de_DE.UTF-8")) << made.output;
  SeededGroup group;
  group.writeFile("UserData", R"({"score": 1.5, "UserID": "U"})");
  const pid_t host = ::fork();
  if (host == 0) {
    ::setenv("LOCPATH", folder.c_str(), 1);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr ||
        std::string(std::localeconv()->decimal_point) != ",") {
      std::_Exit(2);
    }
    LogCapture log;
    SetLastPlayDate("A", 2.5);
    SetInterstitialDate("A", 100.25, 60);
    const bool same =
        log.lines().size() >= 2 && log.lines()[0] == "--> setLastPlayDate : 2.500000" &&
        log.lines()[1].find("100.25") != std::string::npos &&
        takeText(GetAllGames()).value_or("").find("\"lastPlayDate\":2.5") != std::string::npos &&
        takeText(GetUserID()) == "U";
    std::_Exit(same ? 0 : 1);
  }
  EXPECT_EQ(exitStatusWithin(host, 30), 0);
  EXPECT_EQ(group.gameField("A", "LastPlayDate"), Value(2.5));
}

}  // namespace
}  // namespace orvo
