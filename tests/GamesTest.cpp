// The games registry through the exported functions, against a real temporary suite seeded
// the way a host game seeds it.
#include <OrvoModule/OrvoModule.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/Clock.h"
#include "support/TestSupport.h"

namespace orvo {
namespace {

using plist::Array;
using plist::Dictionary;
using plist::Value;
using testing::LogCapture;
using testing::takeText;
using testing::TempAppGroup;
using Lines = std::vector<std::string>;
using Text = std::optional<std::string>;

Array numbers(std::initializer_list<double> values) {
  Array out;
  for (double v : values) out.emplace_back(v);
  return out;
}

Dictionary record(std::initializer_list<std::pair<const char*, Value>> fields) {
  Dictionary d;
  for (const auto& [key, value] : fields) d.set(key, value);
  return d;
}

Dictionary dates(std::initializer_list<double> values) {
  return record({{"InterstitialsDates", numbers(values)}});
}

const Value kAbsent("<absent>");

// A temporary app group whose suite holds a registry under "GamesKey".
class Registry : public TempAppGroup {
 public:
  explicit Registry(const Dictionary& games) { writeSuite(record({{"GamesKey", games}})); }
};

Text currentOnFire() { return takeText(GetCurrentGam\u0435OnFire()); }

// ---- Last-play time -------------------------------------------------------------------

TEST(LastPlayDate, SetsOnlyThatFieldStoresTheValueUnchangedAndLogsSixDecimals) {
  const Dictionary alpha = record({{"OnFireEndDate", 5.0},
                                   {"InterstitialsDates", numbers({1, 2})},
                                   {"custom", plist::Integer::fromSigned(-3)}});
  const Dictionary beta = record({{"LastPlayDate", 9.0}});
  Registry group(record({{"alpha", alpha}, {"beta", beta}}));
  LogCapture log;
  SetLastPlayDate("alpha", 2.5);
  EXPECT_EQ(log.lines(), Lines{"--> setLastPlayDate : 2.500000"});
  Dictionary expectedAlpha = alpha;
  expectedAlpha.set("LastPlayDate", 2.5);
  EXPECT_EQ(group.games(), record({{"alpha", expectedAlpha}, {"beta", beta}}));
  for (double v : {-7.25, 0.0, 1e300}) {
    SetLastPlayDate("beta", v);
    EXPECT_EQ(group.gameField("beta", "LastPlayDate"), Value(v));
  }
}

// Each call gives its no-value result (null, 0, no effect) and leaves the store and the log as
// they were: a game key that names no record or is no text, a time that is not a finite number,
// a window that is negative or not a number, a cipher text or key that is no text.
TEST(BadArguments, GiveTheNoValueResultAndChangeNothing) {
  Registry group(record({{"A", dates({0})}, {"B", dates({5})}, {"bad", "text"}}));
  const std::string before = group.readSuiteBytes();
  const auto yes = [](bool answer) { return answer ? Text("1") : Text(); };
  const double kInf = std::numeric_limits<double>::infinity(), kNaN = std::nan("");
  std::vector<std::function<Text()>> calls;
  for (const char* key : {"Z", "bad", "\xff\xfe", static_cast<const char*>(nullptr)}) {
    calls.emplace_back([key] { return SetLastPlayDate(key, 1), Text(); });
    calls.emplace_back([=] { return yes(SetInterstitialDate(key, 100, 60)); });
  }
  for (const double time : {kNaN, kInf, -kInf}) {
    calls.emplace_back([time] { return SetLastPlayDate("A", time), Text(); });
    calls.emplace_back([=] { return yes(SetInterstitialDate("A", time, 60)); });
    calls.emplace_back([time] { return takeText(SetNextGameOnFire("A", time)); });
    calls.emplace_back([time] { return SetEventDate(time), Text(); });
  }
  for (const double duration : {-1.0, -kInf, kNaN}) {
    calls.emplace_back([=] { return yes(SetInterstitialDate("A", 100, duration)); });
  }
  calls.emplace_back([] { return takeText(SetNextGameOnFire(nullptr, 4e9)); });
  for (const char* text : {static_cast<const char*>(nullptr), "\xC3\x28"}) {
    calls.emplace_back([=] { return takeText(GetEncryptedData(text, "key")); });
    calls.emplace_back([=] { return takeText(GetEncryptedData("hi", text)); });
    calls.emplace_back([=] { return takeText(GetDecryptedData(text, "key")); });
    calls.emplace_back([=] { return takeText(GetDecryptedData("AQ==", text)); });
  }
  for (std::size_t i = 0; i < calls.size(); ++i) {
    LogCapture log;
    EXPECT_EQ(calls[i](), std::nullopt) << "call " << i;
    EXPECT_TRUE(log.lines().empty()) << "call " << i;
    EXPECT_EQ(group.readSuiteBytes(), before) << "call " << i;
  }
}

// Without a registry, or without a suite, every registry call gives its no-value result,
// logs nothing and creates nothing.
TEST(Writers, NeverCreateAMissingRegistry) {
  TempAppGroup group;
  group.writeSuite(record({{"refCode", "R"}}));
  LogCapture log;
  for (int round = 0; round < 2; ++round) {
    SetLastPlayDate("a", 1.0);
    EXPECT_FALSE(SetInterstitialDate("a", 100, 60));
    EXPECT_EQ(takeText(SetNextGameOnFire("a", 1)), std::nullopt);
    EXPECT_EQ(currentOnFire(), std::nullopt);
    EXPECT_EQ(takeText(GetAllGames()), std::nullopt);
    if (round == 0) {
      EXPECT_EQ(group.readSuite(), Value(record({{"refCode", "R"}})));
      std::filesystem::remove(group.suitePath());
    }
  }
  EXPECT_FALSE(std::filesystem::exists(group.suitePath()));
  EXPECT_TRUE(log.lines().empty());
}

// ---- On-fire rotation ------------------------------------------------------------------

double hoursFromNow(double hours) { return secondsSince1970() + hours * 3600; }

struct Rotation {
  const char* name;
  Dictionary games;
  const char* excluded;
  Text chosen;  // the same on every one of several calls, whatever the shuffle
  std::map<std::string, Value> endDates;  // afterwards; "next" stands for the value passed
  Lines log;
  friend void PrintTo(const Rotation& r, std::ostream* os) { *os << r.name; }
};

const double kNext = hoursFromNow(5);
const double kInOneHour = hoursFromNow(1);
const double kInTwoHours = hoursFromNow(2);
const double kJustPassed = secondsSince1970() - 0.001;

Lines rotationLog(const char* current, const char* chosen, bool cleared = false) {
  Lines lines = {std::string("--> setNextGameOnFire > currrentOnFireGameKey: ") + current,
                 std::string("--> setNextGameOnFire > newOnFireGameKey: ") + chosen};
  if (cleared)
    lines.push_back(std::string("--> setNextGameOnFire > clear old On Fire game: ") + current);
  return lines;
}

class OnFire : public ::testing::TestWithParam<Rotation> {};

TEST_P(OnFire, ChoosesTheLeastRecentCandidateAndClearsTheCurrentGame) {
  const Rotation& r = GetParam();
  for (int i = 0; i < 20; ++i) {
    Registry group(r.games);
    const std::string before = group.readSuiteBytes();
    LogCapture log;
    EXPECT_EQ(takeText(SetNextGameOnFire(r.excluded, kNext)), r.chosen);
    EXPECT_EQ(log.lines(), r.log);
    if (!r.chosen) {
      EXPECT_EQ(group.readSuiteBytes(), before);
    }
    for (const auto& [game, end] : r.endDates) {
      EXPECT_EQ(group.gameField(game, "OnFireEndDate"), end) << game;
    }
  }
}

// One case a row reads as a table.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Registries, OnFire,
    ::testing::Values(
        Rotation{"EmptyRegistry", Dictionary(), "a", {}, {}, rotationLog("(null)", "(null)")},
        Rotation{"OnlyTheExcludedGame", record({{"a", Dictionary()}}), "a", {}, {},
                 rotationLog("(null)", "(null)")},
        Rotation{"OnlyTheExcludedAndTheCurrentGame",
                 record({{"a", Dictionary()}, {"hot", record({{"OnFireEndDate", kInTwoHours}})}}),
                 "a", {}, {{"hot", kInTwoHours}}, rotationLog("hot", "(null)")},
        Rotation{"TheOnlyCandidate", record({{"a", Dictionary()}, {"b", dates({5})}}), "a", "b",
                 {{"a", kAbsent}, {"b", kNext}}, rotationLog("(null)", "b")},
        Rotation{"ExcludedCurrentGameIsCleared",
                 record({{"hot", record({{"OnFireEndDate", kInOneHour}})}, {"b", Dictionary()}}),
                 "hot", "b", {{"hot", 0.0}, {"b", kNext}}, rotationLog("hot", "b", true)},
        Rotation{"SmallestLastEntryWins",
                 record({{"x", dates({50})}, {"y", dates({40, 10})}, {"z", dates({30})}}),
                 "none", "y", {{"y", kNext}}, rotationLog("(null)", "y")},
        Rotation{"LatestFutureEndIsCurrentAndAnEarlierOneACandidate",
                 record({{"one", record({{"OnFireEndDate", kInOneHour}})},
                         {"two", record({{"OnFireEndDate", kInTwoHours}})},
                         {"busy", dates({99})}}),
                 "x", "one", {{"one", kNext}, {"two", 0.0}}, rotationLog("two", "one", true)},
        Rotation{"PassedEndIsAnOrdinaryCandidateAndNothingIsCleared",
                 record({{"old", record({{"OnFireEndDate", kJustPassed}})}, {"b", Dictionary()}}),
                 "b", "old", {{"old", kNext}}, rotationLog("(null)", "old")},
        Rotation{"InvalidUtf8ExcludesNoGame", record({{"a", Dictionary()}}), "\xc3\x28", "a",
                 {{"a", kNext}}, rotationLog("(null)", "a")},
        Rotation{"RecordsThatAreNotDictionariesAreNeverChosen",
                 record({{"bad", numbers({1})}, {"good", dates({9})}}), "x", "good",
                 {{"good", kNext}}, rotationLog("(null)", "good")},
        Rotation{"ALatestEntryThatIsNotANumberRanksAfterEveryTime",
                 record({{"nan", dates({std::nan("")})},
                         {"text", record({{"InterstitialsDates", Array{Value("x")}}})},
                         {"late", dates({1e300})}}),
                 "x", "late", {{"late", kNext}}, rotationLog("(null)", "late")}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(OnFireState, CurrentGameHasTheLatestEndStrictlyAfterNow) {
  Registry group(record({{"old", record({{"OnFireEndDate", kJustPassed}})},
                         {"soon", record({{"OnFireEndDate", secondsSince1970() + 1}})},
                         {"none", Dictionary()},
                         {"nan", record({{"OnFireEndDate", std::nan("")}})},
                         {"text", record({{"OnFireEndDate", "later"}})}}));
  EXPECT_EQ(currentOnFire(), "soon");
  // A value in the past is stored, the current game cleared, and nothing is on fire afterwards.
  Registry past(record({{"hot", record({{"OnFireEndDate", kInOneHour}})}, {"b", Dictionary()}}));
  EXPECT_EQ(currentOnFire(), "hot");
  EXPECT_EQ(takeText(SetNextGameOnFire("a", 1000.0)), "b");
  EXPECT_EQ(past.gameField("b", "OnFireEndDate"), Value(1000.0));
  EXPECT_EQ(past.gameField("hot", "OnFireEndDate"), Value(0.0));
  EXPECT_EQ(currentOnFire(), std::nullopt);
  EXPECT_EQ(takeText(SetNextGameOnFire("b", kNext)), "hot");
  EXPECT_EQ(currentOnFire(), "hot");
}

TEST(OnFireState, TiesAreBrokenUniformlyAtRandom) {
  constexpr int kRounds = 400;
  std::map<std::string, int> chosen;
  TempAppGroup group;
  const Dictionary games =
      record({{"never", Dictionary()}, {"empty", dates({})}, {"recent", dates({7})}});
  for (int i = 0; i < kRounds; ++i) {
    group.writeSuite(record({{"GamesKey", games}}));
    const Text key = takeText(SetNextGameOnFire("excluded", kNext));
    ASSERT_TRUE(key);
    ++chosen[*key];
  }
  EXPECT_EQ(chosen.count("recent"), 0u);
  // Each of the two tied games is expected 200 times; 140 is more than six deviations away.
  EXPECT_GT(chosen["never"], 140);
  EXPECT_GT(chosen["empty"], 140);
}

// ---- Listing -----------------------------------------------------------------------------

TEST(Listing, OneObjectPerGameWithLastPlayDateAsStored) {
  Registry group(
      record({{"a", record({{"LastPlayDate", 2.5}, {"OnFireEndDate", 1.0}})}, {"b", dates({1})}}));
  EXPECT_EQ(takeText(GetAllGames()), R"([{"bundle":"a","lastPlayDate":2.5},{"bundle":"b"}])");
  group.writeSuite(record(
      {{"GamesKey",
        record({{"int", record({{"LastPlayDate", plist::Integer::fromUnsigned(UINT64_MAX)}})},
                {"text", record({{"LastPlayDate", "yesterday"}})},
                {"dict", record({{"LastPlayDate", record({{"k", 1.0}, {"j", Array()}})}})}})}}));
  EXPECT_EQ(takeText(GetAllGames()), R"([{"bundle":"int","lastPlayDate":18446744073709551615},)"
                                     R"({"bundle":"text","lastPlayDate":"yesterday"},)"
                                     R"({"bundle":"dict","lastPlayDate":{"k":1.0,"j":[]}}])");
}

TEST(Listing, EmptyRegistryIsAnEmptyArrayAndMissingOneIsNull) {
  Registry group{Dictionary()};
  EXPECT_EQ(takeText(GetAllGames()), "[]");
  group.writeSuite(record({{"GamesKey", "not a dictionary"}}));
  EXPECT_EQ(takeText(GetAllGames()), std::nullopt);
  std::filesystem::remove(group.suitePath());
  EXPECT_EQ(takeText(GetAllGames()), std::nullopt);
}

TEST(Listing, GameKeysRoundTripThroughAJsonParser) {
  const std::vector<std::string> keys = {"quote\"d", "back\\slash", "new\nline", "ünï😀", ""};
  Dictionary games;
  for (const std::string& k : keys) games.set(k, Dictionary());
  Registry group(games);
  const Text listing = takeText(GetAllGames());
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->find('\n'), std::string::npos);
  const nlohmann::json parsed = nlohmann::json::parse(*listing);
  ASSERT_EQ(parsed.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(parsed[i]["bundle"], keys[i]);
}

TEST(Listing, AValueJsonCannotHoldFailsItWholeWithTheErrorLine) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<Value, std::string>> cases = {
      {std::nan(""), "Invalid number value (NaN) in JSON write"},
      {Array{Value(1.0), Value(-kInf)}, "Invalid number value (infinite) in JSON write"},
      {plist::Date{0}, "Invalid type in JSON write (date)"},
      {plist::Data{{1, 2}}, "Invalid type in JSON write (data)"}};
  for (const auto& [value, reason] : cases) {
    Registry group(record(
        {{"ok", record({{"LastPlayDate", 1.0}})}, {"bad", record({{"LastPlayDate", value}})}}));
    LogCapture log;
    EXPECT_EQ(takeText(GetAllGames()), std::nullopt);
    EXPECT_EQ(log.lines(), Lines{"Error serializing gamesArray to JSON: " + reason});
  }
}

// ---- Interstitial window -----------------------------------------------------------------

struct Call {
  const char* game;
  double value;
  double duration;
};

Value listOf(const Registry& group, const std::string& game) {
  return group.gameField(game, "InterstitialsDates");
}

struct Window {
  const char* name;
  Dictionary games;
  Call call;
  bool answer;
  std::map<std::string, Value> lists;  // afterwards
  friend void PrintTo(const Window& w, std::ostream* os) { *os << w.name; }
};

class InterstitialCase : public ::testing::TestWithParam<Window> {};

TEST_P(InterstitialCase, AnswersAndPrunesAsTheWindowSays) {
  const Window& w = GetParam();
  Registry group(w.games);
  LogCapture quiet;
  EXPECT_EQ(SetInterstitialDate(w.call.game, w.call.value, w.call.duration), w.answer);
  for (const auto& [game, list] : w.lists) EXPECT_EQ(listOf(group, game), list) << game;
}

// One case a row reads as a table.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Windows, InterstitialCase,
    ::testing::Values(
        Window{"CallerOldestAtWindowStartAnswersNoAndPrunesNothing",
               record({{"A", dates({10, 70, 80})}, {"B", dates({1})}}), {"A", 100, 90}, false,
               {{"A", numbers({10, 70, 80, 100})}, {"B", numbers({1})}}},
        Window{"FirstInterstitialAnswersNoAndStartsTheList",
               record({{"A", Dictionary()}, {"B", Dictionary()}}), {"A", 0, 60}, false,
               {{"A", numbers({0})}, {"B", kAbsent}}},
        Window{"CallerInsideWindowKeepsGrowing", record({{"A", dates({70, 80})}}),
               {"A", 100, 60}, false, {{"A", numbers({70, 80, 100})}}},
        Window{"CallerBeforeWindowIsPruned", record({{"A", dates({10, 70, 80})}}),
               {"A", 100, 60}, true, {{"A", numbers({70, 80, 100})}}},
        Window{"OtherGameEntryAtWindowStartDoesNotBlockAndStays",
               record({{"A", dates({0})}, {"B", dates({10})}}), {"A", 70, 60}, true,
               {{"B", numbers({10})}}},
        Window{"ZeroDurationKeepsEntriesFromTheValueOn",
               record({{"A", dates({40})}, {"B", dates({30, 50})}}), {"A", 50, 0}, true,
               {{"A", numbers({50})}, {"B", numbers({50})}}},
        Window{"ZeroDurationBlockedByALaterEntry", record({{"A", dates({40})}, {"B", dates({70})}}),
               {"A", 50, 0}, false, {{"A", numbers({50})}, {"B", numbers({70})}}},
        Window{"EndlessWindowAppendsAndPrunesNothing", record({{"A", dates({0})}, {"B", dates({1})}}),
               {"A", 100, std::numeric_limits<double>::infinity()}, false,
               {{"A", numbers({0, 100})}, {"B", numbers({1})}}},
        Window{"StoredTextNeitherBlocksNorSurvives",
               record({{"A", dates({0})},
                       {"B", record({{"InterstitialsDates", Array{Value("200"), Value(40.0)}}})}}),
               {"A", 100, 60}, true, {{"B", numbers({40})}}},
        Window{"CallerListThatIsNotAListStartsAfresh",
               record({{"A", record({{"InterstitialsDates", "junk"}})}}), {"A", 5, 60}, false,
               {{"A", numbers({5})}}},
        Window{"OtherListThatIsNotAListCannotBlockAndIsKept",
               record({{"A", dates({0})},
                       {"B", record({{"InterstitialsDates", plist::Data{{1}}}})}}),
               {"A", 100, 60}, true, {{"B", plist::Data{{1}}}}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(InterstitialWindow, LogsTheCallerThenEachCheckUntilABlockThenEveryPrune) {
  Registry group(record({{"A", dates({0, 10})},
                         {"B", record({{"InterstitialsDates", numbers({5, 10})}, {"x", 1.0}})},
                         {"C", Dictionary()}}));
  LogCapture log;
  EXPECT_TRUE(SetInterstitialDate("A", 70, 60));
  EXPECT_EQ(listOf(group, "A"), numbers({10, 70}));
  EXPECT_EQ(listOf(group, "B"), numbers({10}));  // an entry at the window start stays
  EXPECT_EQ(listOf(group, "C"), Array());        // gains an empty list
  EXPECT_EQ(group.gameField("B", "x"), Value(1.0));
  const std::string prefix = "--> setInterstitialDate > ";
  EXPECT_EQ(log.lines(), (Lines{prefix + "Current game inters: (\n    0,\n    10,\n    70\n)",
                                prefix + "Check inters for game: B",
                                prefix + "Check inters for game > isContainsDates: 0",
                                prefix + "Check inters for game: C",
                                prefix + "Check inters for game > isContainsDates: 0",
                                prefix + "Delete inters for game > Inters: (\n    10,\n    70\n)",
                                prefix + "Delete inters for game > Inters: (\n    10\n)",
                                prefix + "Delete inters for game > Inters: (\n)"}));
  // B blocks: the check stops there, and the prune still runs over every game.
  Registry blocked(record({{"A", dates({0})}, {"B", dates({3, 10.5})}, {"C", dates({1, 2})}}));
  LogCapture blockedLog;
  EXPECT_FALSE(SetInterstitialDate("A", 70, 60));
  EXPECT_EQ(listOf(blocked, "B"), numbers({10.5}));
  EXPECT_EQ(listOf(blocked, "C"), Array());
  const Lines lines = blockedLog.lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2], prefix + "Check inters for game > isContainsDates: 1");
  EXPECT_EQ(lines[3].rfind(prefix + "Delete inters", 0), 0u);
  // The first call of a game looks no further than its own list.
  Registry first(record({{"A", Dictionary()}, {"B", dates({1})}}));
  LogCapture firstLog;
  EXPECT_FALSE(SetInterstitialDate("A", 5, 0));
  EXPECT_EQ(firstLog.lines(), Lines{prefix + "Current game inters: (\n    5\n)"});
  // Numbers print as %.16g does.
  Registry times(record({{"A", dates({1700000000, 0.0001, 1e16, 1712345678.123456})}}));
  LogCapture timesLog;
  EXPECT_FALSE(SetInterstitialDate("A", 100000, 0));
  EXPECT_EQ(timesLog.lines(),
            Lines{prefix + "Current game inters: (\n    1700000000,\n    0.0001,"
                           "\n    1e+16,\n    1712345678.123456,\n    100000\n)"});
}

}  // namespace
}  // namespace orvo
