// What the store promises under faults: every file-system call failing in turn, writers killed
// mid-write and mid-heal, a lock that is never released, and long use of every entry point.
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
#include <fstream>
#include <functional>
#include <random>
#include <set>
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

using testing::leftovers;
using testing::rounds;
using testing::SeededGroup;

// A suite of two games as stored, its bytes.
std::string seedBytes() {
  const auto bytes = plist::writeBinaryPropertyList(testing::twoGameSuite());
  return std::string(bytes->begin(), bytes->end());
}

constexpr char kDamage[] = "not a property list";

// The suite damaged long enough ago to be healed, its last good copy the two-game suite.
void damage(const TempAppGroup& group) {
  std::ofstream(group.lastGoodPath(), std::ios::binary) << seedBytes();
  group.writeSuiteBytes(kDamage);
  stdfs::last_write_time(group.suitePath(),
                         stdfs::file_time_type::clock::now() - std::chrono::minutes(1));
}

// The contents of the damaged copies beside the suite.
std::multiset<std::string> damagedCopies(const TempAppGroup& group) {
  std::multiset<std::string> copies;
  const std::string prefix = group.suitePath().filename().string() + ".damaged-";
  for (const auto& entry : stdfs::directory_iterator(group.suitePath().parent_path())) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) {
      copies.insert(testing::readFile(entry.path()));
    }
  }
  return copies;
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

// A call of the module and what it reported: its text, "1" for a yes, none for no value. A
// call on a damaged suite heals it first (a writer) or reads the last good copy.
struct StoreCall {
  const char* name;
  bool onDamage;
  std::function<Text()> run;
  friend void PrintTo(const StoreCall& c, std::ostream* os) { *os << c.name; }
};

struct Outcome {
  Text reported;
  std::string suite, lastGood;
  std::multiset<std::string> damaged;
  std::vector<std::string> leftovers;
  std::vector<std::string> calls;
};

Outcome runFailing(const StoreCall& call, std::size_t failAt, int error) {
  SeededGroup group;
  if (call.onDamage) damage(group);
  Injection plan{failAt, error, {}};
  injection = &plan;
  fs::setFaultHook(injectFault);
  Text reported;
  {
    LogCapture quiet;
    reported = call.run();
  }
  fs::setFaultHook(nullptr);
  return {reported,
          group.readSuiteBytes(),
          testing::readFile(group.lastGoodPath()),
          damagedCopies(group),
          leftovers(group),
          plan.calls};
}

class InjectedFault : public ::testing::TestWithParam<StoreCall> {};

// Whatever call fails, the store holds the state before the call or after it (or, on a heal,
// the restored last good copy), no byte of the damaged suite is lost, and nothing is left over.
TEST_P(InjectedFault, LeavesTheOldOrTheNewStateAndReportsOnlyWhatWasStored) {
  const Outcome clean = runFailing(GetParam(), SIZE_MAX, 0);
  const std::string name = GetParam().name;
  ASSERT_TRUE(clean.reported || name.starts_with("SetEventDate"));
  // A write-back is durable and keeps what it replaced: the new file and then the folder
  // synced, the replaced file linked aside, the new file renamed in and the aside copy renamed
  // to the last good copy. A read writes nothing.
  if (!GetParam().onDamage) {
    const auto times = [&](const char* call) {
      return std::count(clean.calls.begin(), clean.calls.end(), call);
    };
    const bool writes = name.starts_with("Set");
    EXPECT_EQ(times("fsync"), writes ? 2 : 0);
    EXPECT_EQ(times("rename"), writes ? 2 : 0);
    EXPECT_EQ(times("link"), writes ? 1 : 0);
    EXPECT_EQ(times("flock"), writes ? 1 : 0);
  }
  const std::string before = GetParam().onDamage ? kDamage : seedBytes();
  const std::string lastGoodBefore = GetParam().onDamage ? seedBytes() : "";
  int survived = 0;
  for (std::size_t at = 0; at < clean.calls.size(); ++at) {
    for (const int error : {ENOSPC, EIO, EACCES, ENOMEM, EINTR}) {
      SCOPED_TRACE(clean.calls[at] + " #" + std::to_string(at) + ": " + std::strerror(error));
      const Outcome out = runFailing(GetParam(), at, error);
      const bool restored = GetParam().onDamage && out.suite == seedBytes();
      ASSERT_TRUE(out.suite == before || out.suite == clean.suite || restored);
      EXPECT_TRUE(out.lastGood == lastGoodBefore || out.lastGood == clean.lastGood);
      if (GetParam().onDamage) {
        EXPECT_TRUE(out.suite == kDamage || out.damaged.count(kDamage) == 1);
      }
      EXPECT_LE(out.damaged.size(), 1u);
      EXPECT_TRUE(out.leftovers.empty()) << ::testing::PrintToString(out.leftovers);
      // A result means the work was done; an interruption is retried and fails nothing.
      if (out.reported || error == EINTR) {
        EXPECT_EQ(out.reported, clean.reported);
        EXPECT_EQ(out.suite, clean.suite);
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

Text setEventDate() {
  SetEventDate(2);
  return Text();
}
Text interstitial() { return SetInterstitialDate("A", 100, 60) ? Text("1") : Text(); }
Text nextOnFire() { return takeText(SetNextGameOnFire("A", 4e9)); }

INSTANTIATE_TEST_SUITE_P(
    Calls, InjectedFault,
    ::testing::Values(StoreCall{"GetUserID", false, [] { return takeText(GetUserID()); }},
                      StoreCall{"GetRefCode", false, [] { return takeText(GetRefCode()); }},
                      StoreCall{"GetAllGames", false, [] { return takeText(GetAllGames()); }},
                      StoreCall{"SetEventDate", false, setEventDate},
                      StoreCall{"SetInterstitialDate", false, interstitial},
                      StoreCall{"SetNextGameOnFire", false, nextOnFire},
                      StoreCall{"GetAllGamesOfADamagedSuite", true,
                                [] { return takeText(GetAllGames()); }},
                      StoreCall{"SetEventDateHealing", true, setEventDate},
                      StoreCall{"SetNextGameOnFireHealing", true, nextOnFire}),
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
    ASSERT_LE(leftovers(group).size(), 2u);  // the new file, and the replaced one's second name
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

// A writer killed at any moment of a heal leaves the damaged bytes (where they were, or in a
// damaged copy) and the last good copy; the next writer completes the heal.
TEST(KilledWriters, MidHealLoseNoDamagedByteAndTheNextWriterHeals) {
  SeededGroup group;
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> lifetimeMicros(0, 1500);
  const int kills = rounds(300);
  int midHeal = 0;
  for (int kill = 0; kill < kills; ++kill) {
    for (const auto& entry : stdfs::directory_iterator(group.suitePath().parent_path())) {
      stdfs::remove(entry.path());
    }
    damage(group);
    const pid_t writer = ::fork();
    if (writer == 0) {
      for (;;) SetEventDate(1);
    }
    ASSERT_GT(writer, 0);
    ::usleep(static_cast<useconds_t>(lifetimeMicros(random)));
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    const std::multiset<std::string> copies = damagedCopies(group);
    ASSERT_TRUE(group.readSuiteBytes() == kDamage || copies.count(kDamage) == 1) << "kill " << kill;
    const std::string lastGood = testing::readFile(group.lastGoodPath());
    const auto lastGoodRead = plist::readPropertyList(
        std::span(reinterpret_cast<const std::uint8_t*>(lastGood.data()), lastGood.size()));
    ASSERT_TRUE(lastGoodRead && lastGoodRead->is<Dictionary>()) << "kill " << kill;
    midHeal += group.readSuiteBytes() == kDamage && !copies.empty();
    {
      LogCapture log;
      SetEventDate(2);
    }
    const std::optional<Value> healed = group.readSuite();
    ASSERT_TRUE(healed) << "kill " << kill;
    const Value* events = healed->as<Dictionary>()->find("eventsDates");
    ASSERT_TRUE(events && events->as<Array>()->back() == Value(2.0)) << "kill " << kill;
    EXPECT_EQ(*healed->as<Dictionary>()->find("refCode"), Value("R"));
    const std::multiset<std::string> after = damagedCopies(group);
    EXPECT_TRUE(!after.empty() && after.size() <= 2 && after.count(kDamage) == after.size());
    ASSERT_TRUE(leftovers(group).empty()) << ::testing::PrintToString(leftovers(group));
  }
  RecordProperty("kills", kills);
  RecordProperty("killedBetweenCopyAndRestore", midHeal);
}

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
    if (i % 100 == 0) group.writeSuite(testing::twoGameSuite());  // the store stays the same size
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
