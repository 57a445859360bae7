// The defaults suite stand-in on a real file system: where it lives, atomic replace, the update
// lock, and what hostile file-system state gets.
#include <OrvoModule/OrvoModule.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>

#include "platform/DefaultsSuite.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

namespace orvo {
namespace {

namespace stdfs = std::filesystem;
using plist::Array;
using plist::Dictionary;
using plist::Value;
using testing::TempAppGroup;

constexpr std::string_view kGroup = ORVO_APP_GROUP_IDENTIFIER;

Dictionary refCodeSuite() {
  Dictionary root;
  root.set("refCode", "R");
  return root;
}

std::optional<std::string> refCode() { return testing::takeText(GetRefCode()); }

TEST(Container, FollowsXdgDataHomeElseHomeAndIsNeverCreated) {
  TempAppGroup group;
  EXPECT_EQ(fs::appGroupContainerPath(kGroup), group.container());
  const stdfs::path home = group.dataHome() / "home";
  stdfs::create_directories(home / ".local/share/app-groups" / kGroup);
  testing::ScopedEnvironment env;
  env.set("HOME", home.string());
  for (const std::optional<std::string>& xdg :
       {std::optional<std::string>(""), std::optional<std::string>("relative"),
        std::optional<std::string>()}) {
    env.set("XDG_DATA_HOME", xdg);
    EXPECT_EQ(fs::appGroupContainerPath(kGroup), home / ".local/share/app-groups" / kGroup);
  }
  env.set("XDG_DATA_HOME", group.dataHome().string());
  stdfs::remove_all(group.container());
  EXPECT_FALSE(DefaultsSuite::open(kGroup));
  EXPECT_FALSE(DefaultsSuite::update(kGroup, [](DefaultsSuite&) { return true; }));
  EXPECT_FALSE(stdfs::exists(group.container()));
}

TEST(Suite, ReplacedFileKeepsOnlyThePermissionBits) {
  TempAppGroup group;
  const mode_t savedMask = ::umask(027);
  SetEventDate(1);
  const auto mode = [&] { return stdfs::status(group.suitePath()).permissions(); };
  EXPECT_EQ(mode(), static_cast<stdfs::perms>(0640));  // a new suite: 0666 less the umask
  ::umask(savedMask);
  for (const unsigned set : {06755u, 01600u}) {
    ::chmod(group.suitePath().c_str(), set);
    SetEventDate(2);
    EXPECT_EQ(mode(), static_cast<stdfs::perms>(set & 0777)) << std::oct << set;
  }
}

TEST(Suite, WriterRefusesAFileTheReaderWouldRefuse) {
  TempAppGroup group;
  // A blob that leaves the file a few bytes under the cap; one more event would pass it.
  const auto suiteOfSize = [&](std::size_t blob) {
    Dictionary root = refCodeSuite();
    root.set("blob", plist::Data{std::vector<std::uint8_t>(blob, 7)});
    group.writeSuite(root);
    return stdfs::file_size(group.suitePath());
  };
  const std::size_t probe = fs::kMaxFileSize - 4096;
  ASSERT_EQ(suiteOfSize(probe + (fs::kMaxFileSize - 8 - suiteOfSize(probe))), fs::kMaxFileSize - 8);
  const std::string before = group.readSuiteBytes();
  EXPECT_EQ(refCode(), "R");
  SetEventDate(1);
  EXPECT_EQ(group.readSuiteBytes(), before);
}

TEST(Suite, NextWriterRemovesWhatAKilledWriterLeftAndFollowsNoPlantedLink) {
  TempAppGroup group;
  group.writeSuite(refCodeSuite());
  const stdfs::path temp =
      group.suitePath().parent_path() / ("." + group.suitePath().filename().string() + ".tmp");
  const stdfs::path victim = group.dataHome() / "victim";
  std::ofstream(victim) << "keep";
  enum class Left { kCopy, kSymlink, kHardLink };
  for (const Left left : {Left::kCopy, Left::kSymlink, Left::kHardLink}) {
    switch (left) {
      case Left::kCopy:
        std::ofstream(temp) << group.readSuiteBytes();  // a full copy, as a killed writer leaves
        break;
      case Left::kSymlink:
        stdfs::create_symlink(victim, temp);
        break;
      case Left::kHardLink:
        stdfs::create_hard_link(victim, temp);
    }
    SetEventDate(static_cast<double>(left) + 1);
    EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(temp)));
    EXPECT_EQ(testing::readFile(victim), "keep");
  }
  Dictionary expected = refCodeSuite();
  expected.set("eventsDates", Array{Value(1.0), Value(2.0), Value(3.0)});
  EXPECT_EQ(group.readSuite(), Value(expected));
}

// Every entry under the folder: its kind, and a link's target or a file's content.
std::map<std::string, std::string> snapshot(const stdfs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : stdfs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().lexically_relative(root).string();
    switch (entry.symlink_status().type()) {
      case stdfs::file_type::symlink:
        entries[name] = "link " + stdfs::read_symlink(entry.path()).string();
        break;
      case stdfs::file_type::regular:
        entries[name] = "file " + testing::readFile(entry.path());
        break;
      default:
        entries[name] = "other";
    }
  }
  return entries;
}

stdfs::path lockPath(const TempAppGroup& group) {
  return stdfs::path(group.suitePath()).concat(".lock");
}

enum class Place { kSuite, kPreferences, kLock };
enum class Thing { kLinkLoop, kFolder, kFifo, kFile, kLinkElsewhere };

struct HostileState {
  const char* name;
  Place place;
  Thing thing;
  bool readable;  // whether the suite can still be read (plain reads take no lock)
  friend void PrintTo(const HostileState& s, std::ostream* os) { *os << s.name; }
};

void plant(const TempAppGroup& group, Place place, Thing thing) {
  const stdfs::path path = place == Place::kSuite  ? group.suitePath()
                           : place == Place::kLock ? lockPath(group)
                                                   : group.suitePath().parent_path();
  stdfs::remove_all(path);
  switch (thing) {
    case Thing::kLinkLoop:
      stdfs::create_symlink("loop", path);
      stdfs::create_symlink(path.filename(), path.parent_path() / "loop");
      break;
    case Thing::kFolder:
      stdfs::create_directory(path);
      break;
    case Thing::kFifo:
      ::mkfifo(path.c_str(), 0600);
      break;
    case Thing::kFile:
      std::ofstream(path) << "x";
      break;
    case Thing::kLinkElsewhere:
      stdfs::create_symlink(group.dataHome() / "created-through-link", path);
  }
}

class HostileFileSystem : public ::testing::TestWithParam<HostileState> {};

// Whatever stands in the way, the store gives its no-value result, never blocks, and changes
// nothing: no file replaced, none created through a planted link.
TEST_P(HostileFileSystem, StoreGivesNoValueAndChangesNothing) {
  TempAppGroup group;
  group.writeSuite(refCodeSuite());
  std::ofstream(lockPath(group)).flush();  // as the first update leaves it
  plant(group, GetParam().place, GetParam().thing);
  const auto before = snapshot(group.dataHome());
  EXPECT_EQ(refCode(), GetParam().readable ? std::optional<std::string>("R") : std::nullopt);
  SetEventDate(1);
  EXPECT_EQ(snapshot(group.dataHome()), before);
}

// One case a row reads as a table.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    States, HostileFileSystem,
    ::testing::Values(
        HostileState{"SuiteIsASymlinkLoop", Place::kSuite, Thing::kLinkLoop, false},
        HostileState{"SuiteIsAFolder", Place::kSuite, Thing::kFolder, false},
        HostileState{"SuiteIsAFifo", Place::kSuite, Thing::kFifo, false},
        HostileState{"PreferencesIsAFile", Place::kPreferences, Thing::kFile, false},
        HostileState{"LockIsALinkElsewhere", Place::kLock, Thing::kLinkElsewhere, true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Runs `body` as an ordinary user: as root, in a child that gives up its privileges (the test
// folder is handed to that user first, apart from what `keepOwnedByRoot` names).
bool asOrdinaryUser(const TempAppGroup& group, const std::vector<stdfs::path>& keepOwnedByRoot,
                    const std::function<bool()>& body) {
  if (::geteuid() != 0) return body();
  constexpr uid_t kNobody = 65534;
  for (const auto& entry : stdfs::recursive_directory_iterator(group.dataHome())) {
    ::lchown(entry.path().c_str(), kNobody, kNobody);
  }
  ::lchown(group.dataHome().c_str(), kNobody, kNobody);
  for (const stdfs::path& path : keepOwnedByRoot) ::lchown(path.c_str(), 0, 0);
  return testing::runInChildren(1, [&](int) {
    return ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 &&
           body();
  });
}

TEST(UnreadableSuite, IsNeverReplaced) {
  for (const bool throughLink : {false, true}) {
    SCOPED_TRACE(throughLink ? "link into a folder that cannot be searched" : "mode 000");
    TempAppGroup group;
    group.writeSuite(refCodeSuite());
    stdfs::path hidden = group.suitePath();
    if (throughLink) {
      stdfs::create_directory(group.dataHome() / "private");
      hidden = group.dataHome() / "private" / "suite.plist";
      stdfs::rename(group.suitePath(), hidden);
      stdfs::create_symlink(hidden, group.suitePath());
      ::chmod(hidden.parent_path().c_str(), 0700);
    } else {
      ::chmod(hidden.c_str(), 0);
    }
    const std::string before = testing::readFile(hidden);
    EXPECT_TRUE(asOrdinaryUser(group, {hidden.parent_path()}, [] {
      SetEventDate(1);
      return !refCode() && !SetInterstitialDate("a", 1, 1);
    }));
    ::chmod(hidden.parent_path().c_str(), 0755);
    ::chmod(hidden.c_str(), 0644);
    EXPECT_EQ(testing::readFile(hidden), before);
    EXPECT_EQ(stdfs::is_symlink(group.suitePath()), throughLink);
  }
}

TEST(UpdateLock, IsTakenThroughAReadOnlyLockFileOfAnotherOwner) {
  TempAppGroup group;
  group.writeSuite(refCodeSuite());
  std::ofstream(lockPath(group)).flush();
  ::chmod(lockPath(group).c_str(), 0444);
  EXPECT_TRUE(asOrdinaryUser(group, {lockPath(group)}, [] {
    SetEventDate(1);
    return true;
  }));
  EXPECT_NE(group.readSuite()->as<Dictionary>()->find("eventsDates"), nullptr);
}

}  // namespace
}  // namespace orvo
