// The defaults suite stand-in: where it lives, atomic replace and the update lock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstdlib>
#include <thread>

#include "platform/DefaultsSuite.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

namespace orvo {
namespace {

using plist::Array;
using plist::Dictionary;
using plist::Value;
using testing::TempAppGroup;

constexpr std::string_view kGroup = ORVO_APP_GROUP_IDENTIFIER;


TEST(Container, FollowsXdgDataHomeElseHome) {
  TempAppGroup group;
  EXPECT_EQ(fs::appGroupContainer(kGroup), group.container());
  const std::filesystem::path home = group.dataHome() / "home";
  std::filesystem::create_directories(home / ".local/share/app-groups" / kGroup);
  testing::ScopedEnvironment env;
  env.set("HOME", home.string());
  for (const char* xdg : {"", "relative/path"}) {
    env.set("XDG_DATA_HOME", xdg);
    EXPECT_EQ(fs::appGroupContainer(kGroup), home / ".local/share/app-groups" / kGroup) << xdg;
  }
  env.set("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(fs::appGroupContainer(kGroup), home / ".local/share/app-groups" / kGroup);
}

TEST(Container, IsNeverCreated) {
  TempAppGroup group;
  std::filesystem::remove_all(group.container());
  EXPECT_EQ(fs::appGroupContainer(kGroup), std::nullopt);
  EXPECT_FALSE(DefaultsSuite::open(kGroup));
  EXPECT_FALSE(DefaultsSuite::update(kGroup, [](DefaultsSuite&) { ADD_FAILURE(); }));
  EXPECT_FALSE(std::filesystem::exists(group.container()));
}

TEST(Suite, MissingFileIsAnEmptySuiteAndFirstWriteCreatesIt) {
  TempAppGroup group;
  std::optional<DefaultsSuite> suite = DefaultsSuite::open(kGroup);
  ASSERT_TRUE(suite);
  EXPECT_EQ(suite->objectForKey("anything"), nullptr);
  ASSERT_TRUE(suite->setObject("k", 1.5));
  EXPECT_TRUE(suite->synchronize());
  Dictionary expected;
  expected.set("k", 1.5);
  EXPECT_EQ(group.readSuite(), Value(expected));
}

TEST(Suite, TypedReadsRefuseOtherTypes) {
  TempAppGroup group;
  Dictionary root;
  root.set("list", Array{Value(1.0)});
  root.set("dict", Dictionary());
  root.set("text", "t");
  group.writeSuite(root);
  std::optional<DefaultsSuite> suite = DefaultsSuite::open(kGroup);
  ASSERT_TRUE(suite);
  EXPECT_NE(suite->arrayForKey("list"), nullptr);
  EXPECT_EQ(suite->arrayForKey("dict"), nullptr);
  EXPECT_NE(suite->dictionaryForKey("dict"), nullptr);
  EXPECT_EQ(suite->dictionaryForKey("list"), nullptr);
  EXPECT_EQ(suite->dictionaryForKey("text"), nullptr);
  EXPECT_EQ(suite->arrayForKey("missing"), nullptr);
}

TEST(Suite, WriteKeepsEveryOtherValueAndItsOrder) {
  TempAppGroup group;
  Dictionary root;
  root.set("z", plist::Integer::fromUnsigned(UINT64_MAX));
  root.set("a", plist::Date{12.5});
  root.set("m", plist::Uid{7});
  group.writeSuite(root);
  std::optional<DefaultsSuite> suite = DefaultsSuite::open(kGroup);
  ASSERT_TRUE(suite && suite->setObject("a", "replaced"));
  root.set("a", "replaced");
  EXPECT_EQ(group.readSuite(), Value(root));
}

TEST(AtomicReplace, ReadersNeverSeeAPartialFile) {
  TempAppGroup group;
  const std::filesystem::path target = group.container() / "file";
  // Two contents of different sizes, each recognisable as whole.
  const std::vector<std::uint8_t> small(1000, 'a');
  const std::vector<std::uint8_t> large(300000, 'b');
  ASSERT_TRUE(fs::replaceFileAtomically(target, small));
  const pid_t writer = ::fork();
  if (writer == 0) {
    for (int i = 0; i < 300; ++i) {
      if (!fs::replaceFileAtomically(target, i % 2 ? small : large)) std::_Exit(1);
    }
    std::_Exit(0);
  }
  ASSERT_GT(writer, 0);
  int torn = 0, reads = 0;
  for (int status = 0; ::waitpid(writer, &status, WNOHANG) == 0; ++reads) {
    const auto content = fs::readWholeFile(target);
    ASSERT_TRUE(content);
    if (*content != small && *content != large) ++torn;
  }
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  // No temporary file is left behind.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(group.container())) {
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(AtomicReplace, FailureLeavesTargetAndNoTemporary) {
  TempAppGroup group;
  const std::filesystem::path target = group.container() / "sub" / "file";
  EXPECT_FALSE(fs::replaceFileAtomically(target, std::vector<std::uint8_t>{1, 2}));
  EXPECT_FALSE(std::filesystem::exists(target.parent_path()));
}

TEST(UpdateLock, ExcludesOtherThreadsAndProcesses) {
  constexpr int kProcesses = 4;
  constexpr int kThreads = 3;
  constexpr int kIncrements = 25;
  TempAppGroup group;
  auto increment = [] {
    for (int i = 0; i < kIncrements; ++i) {
      DefaultsSuite::update(kGroup, [](DefaultsSuite& suite) {
        const plist::Value* v = suite.objectForKey("counter");
        const double n = v ? v->number().value_or(0) : 0;
        suite.setObject("counter", n + 1);
      });
    }
  };
  ASSERT_TRUE(testing::runInChildren(kProcesses, [&](int) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(increment);
    for (auto& t : threads) t.join();
    return true;
  }));
  std::optional<DefaultsSuite> suite = DefaultsSuite::open(kGroup);
  ASSERT_TRUE(suite && suite->objectForKey("counter"));
  EXPECT_EQ(suite->objectForKey("counter")->number(), kProcesses * kThreads * kIncrements);
}

}  // namespace
}  // namespace orvo
