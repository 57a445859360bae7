// What each store call asks of the kernel, counted by strace between two markers: a read at
// most 8 system calls; a writer's update at most 20, with two fsync, one lock, and one link and
// two renames (the new file and the last good copy), then 4 for its log (the thread id, the
// signal mask around one write of its lines), and one draw of random numbers for the rotation.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace orvo {
namespace {

using plist::Array;
using plist::Dictionary;
using plist::Value;

struct Budget {
  const char* call;
  std::size_t most;
  bool writes;
  bool logs;
  friend void PrintTo(const Budget& b, std::ostream* os) { *os << b.call; }
};

// The system calls the probe made between its markers, each as "name(arguments...".
std::vector<std::string> traced(const testing::TempAppGroup& group, const std::string& call) {
  const std::string trace = (group.dataHome() / "trace").string();
  const std::string seed = (group.dataHome() / "seed.plist").string();
  std::filesystem::copy_file(group.suitePath(), seed);
  const testing::CommandResult run = testing::runCommand("strace -qq -o " + trace + " " +
                                                         ORVO_CALL_PROBE + " " + call + " " + seed);
  EXPECT_EQ(run.status, 0);
  std::vector<std::string> calls;
  bool inside = false;
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("close(-4242)", 0) == 0) {
      inside = !inside;
    } else if (inside) {
      calls.push_back(line);
    }
  }
  return calls;
}

std::size_t count(const std::vector<std::string>& calls, const std::string& prefix) {
  return static_cast<std::size_t>(std::count_if(
      calls.begin(), calls.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}

class SyscallBudget : public ::testing::TestWithParam<Budget> {};

TEST_P(SyscallBudget, StaysWithinItsCount) {
#if defined(ORVO_SANITIZED)
  GTEST_SKIP() << "the sanitizers' runtime makes system calls of its own";
#endif
  if (testing::runCommand("strace -V >/dev/null 2>&1").status != 0) GTEST_SKIP() << "no strace";
  if (!std::string(ORVO_EMULATOR).empty())
    GTEST_SKIP() << "strace would count the emulator's calls";
  testing::TempAppGroup group("/dev/shm");
  Dictionary a, b, games, root;
  a.set("InterstitialsDates", Array{Value(0.0)});
  b.set("InterstitialsDates", Array{Value(5.0)});
  games.set("A", a);
  games.set("B", b);
  root.set("GamesKey", games);
  root.set("refCode", "R");
  group.writeSuite(root);
  group.writeFile("UserData", R"({"UserID":"U"})");
  const std::vector<std::string> calls = traced(group, GetParam().call);
  EXPECT_LE(calls.size(), GetParam().most) << ::testing::PrintToString(calls);
  if (GetParam().writes) {
    EXPECT_EQ(count(calls, "fsync("), 2u);
    EXPECT_EQ(count(calls, "rename("), 2u);
    EXPECT_EQ(count(calls, "link("), 1u);
    EXPECT_EQ(count(calls, "flock("), 1u);
  }
  EXPECT_EQ(count(calls, "write(2,"), GetParam().logs ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Calls, SyscallBudget,
                         ::testing::Values(Budget{"GetRefCode", 8, false, false},
                                           Budget{"GetUserID", 8, false, false},
                                           Budget{"GetAllGames", 8, false, false},
                                           Budget{"GetCurrentGameOnFire", 8, false, false},
                                           Budget{"SetEventDate", 20, true, false},
                                           Budget{"SetLastPlayDate", 24, true, true},
                                           Budget{"SetNextGameOnFire", 25, true, true},
                                           Budget{"SetInterstitialDate", 24, true, true}),
                         [](const auto& info) { return std::string(info.param.call); });

}  // namespace
}  // namespace orvo
