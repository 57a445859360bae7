// The defaults suite stand-in on a real file system: where it lives, atomic replace, the update
// lock, and what hostile file-system state gets.
#include <OrvoModule/OrvoModule.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
  bool owned = ::lchown(group.dataHome().c_str(), kNobody, kNobody) == 0;
  for (const auto& entry : stdfs::recursive_directory_iterator(group.dataHome())) {
    owned = ::lchown(entry.path().c_str(), kNobody, kNobody) == 0 && owned;
  }
  for (const stdfs::path& path : keepOwnedByRoot)
    owned = ::lchown(path.c_str(), 0, 0) == 0 && owned;
  if (!owned) return false;
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

// ---- Damage and healing --------------------------------------------------------------------

std::string bytesOf(const Dictionary& root) {
  const auto bytes = plist::writeBinaryPropertyList(root);
  return std::string(bytes->begin(), bytes->end());
}

// Sets a file's modification time `age` before now (after now when negative).
void age(const stdfs::path& path, std::chrono::seconds age) {
  stdfs::last_write_time(path, stdfs::file_time_type::clock::now() - age);
}

// The damaged copies beside the suite, by name.
std::vector<stdfs::path> damagedCopies(const TempAppGroup& group) {
  std::vector<stdfs::path> copies;
  const std::string prefix = group.suitePath().filename().string() + ".damaged-";
  for (const auto& entry : stdfs::directory_iterator(group.suitePath().parent_path())) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) copies.push_back(entry.path());
  }
  std::sort(copies.begin(), copies.end());
  return copies;
}

enum class Damage { kNotAPropertyList, kEmpty, kArrayAtTheTop, kTruncated, kOver64MiB };
enum class LastGood { kGood, kMissing, kDamaged };

struct DamageCase {
  const char* name;
  Damage damage;
  LastGood lastGood;
  friend void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }
};

void plantDamage(const TempAppGroup& group, Damage damage) {
  switch (damage) {
    case Damage::kNotAPropertyList:
      group.writeSuiteBytes("damaged");
      break;
    case Damage::kEmpty:
      group.writeSuiteBytes("");
      break;
    case Damage::kArrayAtTheTop:
      group.writeSuite(Array{Value("R")});
      break;
    case Damage::kTruncated:
      group.writeSuiteBytes(bytesOf(refCodeSuite()).substr(0, 20));
      break;
    case Damage::kOver64MiB:
      group.writeSuiteBytes("");
      stdfs::resize_file(group.suitePath(), fs::kMaxFileSize + 1);  // sparse
  }
  age(group.suitePath(), std::chrono::minutes(1));
}

class DamagedSuite : public ::testing::TestWithParam<DamageCase> {};

// Readers answer from the last good copy; the next writer keeps the damaged bytes aside, puts
// the last good copy (or an empty suite) in place, does its update and logs one error line.
TEST_P(DamagedSuite, IsReadFromItsLastGoodCopyAndHealedByTheNextWriter) {
  const auto [name, damage, lastGood] = GetParam();
  TempAppGroup group;
  plantDamage(group, damage);
  if (lastGood != LastGood::kMissing) {
    std::ofstream(group.lastGoodPath())
        << (lastGood == LastGood::kGood ? bytesOf(refCodeSuite()) : "damaged too");
  }
  const std::string damagedBytes = group.readSuiteBytes();
  const std::string lastGoodBefore = testing::readFile(group.lastGoodPath());
  const auto before = snapshot(group.dataHome());
  EXPECT_EQ(refCode(),
            lastGood == LastGood::kGood ? std::optional<std::string>("R") : std::nullopt);
  EXPECT_EQ(snapshot(group.dataHome()), before);  // readers write nothing

  testing::LogCapture log;
  SetEventDate(1);
  const std::vector<stdfs::path> copies = damagedCopies(group);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(testing::readFile(copies[0]), damagedBytes);
  Dictionary expected = lastGood == LastGood::kGood ? refCodeSuite() : Dictionary();
  expected.set("eventsDates", Array{Value(1.0)});
  EXPECT_EQ(group.readSuite(), Value(expected));
  // The last good copy stays as it was, damaged or not.
  EXPECT_EQ(testing::readFile(group.lastGoodPath()), lastGoodBefore);
  EXPECT_EQ(stdfs::exists(group.lastGoodPath()), lastGood != LastGood::kMissing);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("Error", 0), 0u);
  EXPECT_NE(log.lines()[0].find(copies[0].string()), std::string::npos);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedSuite,
    ::testing::Values(
        DamageCase{"NotAPropertyList", Damage::kNotAPropertyList, LastGood::kGood},
        DamageCase{"Empty", Damage::kEmpty, LastGood::kGood},
        DamageCase{"ArrayAtTheTop", Damage::kArrayAtTheTop, LastGood::kGood},
        DamageCase{"Truncated", Damage::kTruncated, LastGood::kGood},
        DamageCase{"Over64MiB", Damage::kOver64MiB, LastGood::kGood},
        DamageCase{"NoLastGoodCopy", Damage::kNotAPropertyList, LastGood::kMissing},
        DamageCase{"DamagedLastGoodCopy", Damage::kTruncated, LastGood::kDamaged}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(LastGoodCopy, IsTheVersionThatEachWriteReplaced) {
  TempAppGroup group;
  SetEventDate(1);
  EXPECT_FALSE(stdfs::exists(group.lastGoodPath()));  // a new suite replaced nothing
  const std::string first = group.readSuiteBytes();
  SetEventDate(2);
  EXPECT_EQ(testing::readFile(group.lastGoodPath()), first);
  // A write within an update: the handle then reads what it wrote, and the update's own write
  // keeps that as the last good copy.
  EXPECT_TRUE(DefaultsSuite::update(kGroup, [](DefaultsSuite& suite) {
    suite.setObject("refCode", "S");
    const bool written = suite.synchronize() && suite.objectForKey("refCode").string() == "S";
    suite.setObject("x", 1.0);
    return written;
  }));
  const std::string kept = testing::readFile(group.lastGoodPath());
  const auto lastGood =
      plist::readPropertyList(std::vector<std::uint8_t>(kept.begin(), kept.end()));
  ASSERT_TRUE(lastGood && lastGood->is<Dictionary>());
  EXPECT_EQ(lastGood->as<Dictionary>()->find("x"), nullptr);
  EXPECT_EQ(*lastGood->as<Dictionary>()->find("refCode"), Value("S"));
  EXPECT_EQ(*group.readSuite()->as<Dictionary>()->find("x"), Value(1.0));
}

// Modified within 2 s either way, a damaged suite may be one that a host is writing without
// the lock: writers leave it alone. A time further in the future is a skewed clock.
TEST(DamagedSuite, IsLeftAloneWhileFresh) {
  for (const int secondsAgo : {0, -1, -5, 3}) {
    SCOPED_TRACE(secondsAgo);
    TempAppGroup group;
    group.writeSuiteBytes("damaged");
    age(group.suitePath(), std::chrono::seconds(secondsAgo));
    SetEventDate(1);
    const bool fresh = secondsAgo > -2 && secondsAgo < 2;
    EXPECT_EQ(group.readSuiteBytes() == "damaged", fresh);
    EXPECT_EQ(damagedCopies(group).size(), fresh ? 0u : 1u);
  }
}

// At most three damaged copies: the oldest by the stamp in their names go first, names written
// to the second by earlier versions included; files of other names are not ours to remove.
TEST(DamagedSuite, KeepsTheThreeNewestCopies) {
  TempAppGroup group;
  group.writeSuiteBytes("damaged");
  age(group.suitePath(), std::chrono::minutes(1));
  const std::string base = group.suitePath().string() + ".damaged-";
  for (const char* stamp : {"20240101T000000Z", "20230101T000000.000001Z",
                            "20250101T000000.000000Z", "20220101T000000.5Z", "notes"}) {
    std::ofstream(base + stamp) << stamp;
  }
  testing::LogCapture quiet;
  SetEventDate(1);
  std::vector<std::string> left;
  for (const stdfs::path& copy : damagedCopies(group)) {
    left.push_back(copy.string().substr(base.size()));
  }
  ASSERT_EQ(left.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(left.begin(), left.begin() + 3),
            (std::vector<std::string>{"20220101T000000.5Z", "20240101T000000Z",
                                      "20250101T000000.000000Z"}));
  EXPECT_EQ(testing::readFile(base + left[3]), "damaged");
  EXPECT_EQ(left[4], "notes");
}

// Where the kernel refuses a hard link to another owner's file (protected hard links), the
// damaged copy and the last good copy are written from the bytes read instead.
TEST(DamagedSuite, IsCopiedByItsBytesWhereAHardLinkIsRefused) {
  if (::geteuid() != 0 || testing::readFile("/proc/sys/fs/protected_hardlinks") != "1\n") {
    GTEST_SKIP() << "needs root and protected hard links";
  }
  for (const bool damaged : {true, false}) {
    SCOPED_TRACE(damaged ? "damaged suite" : "good suite");
    TempAppGroup group;
    if (damaged) {
      group.writeSuiteBytes("damaged");
      age(group.suitePath(), std::chrono::minutes(1));
      std::ofstream(group.lastGoodPath()) << bytesOf(refCodeSuite());
    } else {
      group.writeSuite(refCodeSuite());
    }
    const std::string before = group.readSuiteBytes();
    ::chmod(group.suitePath().c_str(), 0644);
    EXPECT_TRUE(asOrdinaryUser(group, {group.suitePath()}, [] {
      SetEventDate(1);
      return true;
    }));
    const std::vector<stdfs::path> copies = damagedCopies(group);
    EXPECT_EQ(testing::readFile(damaged ? copies.at(0) : group.lastGoodPath()), before);
    Dictionary expected = refCodeSuite();
    expected.set("eventsDates", Array{Value(1.0)});
    EXPECT_EQ(group.readSuite(), Value(expected));
  }
}

}  // namespace
}  // namespace orvo
