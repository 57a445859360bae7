// The games registry through the exported functions, against a real temporary suite seeded
// the way a host game seeds it.
#include <OrvoModule/OrvoModule.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>

#include "platform/Clock.h"
#include "support/TestSupport.h"

namespace orvo {
namespace {

using plist::Array;
using plist::Dictionary;
using plist::Value;
using testing::LogCapture;
using testing::TempAppGroup;
using Lines = std::vector<std::string>;

std::optional<std::string> take(char* returned) {
  if (returned == nullptr) return std::nullopt;
  std::string text(returned);
  std::free(returned);
  return text;
}

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

// A temporary app group whose suite holds a registry under "GamesKey".
class Registry : public TempAppGroup {
 public:
  explicit Registry(const Dictionary& games, const Dictionary& others = {}) {
    Dictionary root = others;
    root.set("GamesKey", games);
    writeSuite(root);
  }
  Registry() = default;

  Dictionary games() const {
    const std::optional<Value> root = readSuite();
    if (!root || !root->is<Dictionary>()) return {};
    const Value* games = root->as<Dictionary>()->find("GamesKey");
    return games && games->is<Dictionary>() ? *games->as<Dictionary>() : Dictionary();
  }
  Value field(const std::string& game, const std::string& name) const {
    const Dictionary all = games();
    const Value* rec = all.find(game);
    const Value* v = rec && rec->is<Dictionary>() ? rec->as<Dictionary>()->find(name) : nullptr;
    return v ? *v : Value("<absent>");
  }
};

std::optional<std::string> currentOnFire() { return take(GetCurrentGam\u0435OnFire()); }

// ---- Last-play time -------------------------------------------------------------------

TEST(LastPlayDate, SetsOnlyThatFieldAndLogsSixDecimals) {
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
}

TEST(LastPlayDate, StoresValuesUnchangedAndKeepsTheLast) {
  Registry group(record({{"a", Dictionary()}}));
  for (double v : {-7.25, 0.0, 1e300, 3.0}) {
    SetLastPlayDate("a", v);
    EXPECT_EQ(group.field("a", "LastPlayDate"), Value(v));
  }
}

TEST(LastPlayDate, UnknownGameOrMissingRegistryChangesNothing) {
  Registry group(record({{"a", Dictionary()}, {"notARecord", "text"}}));
  const std::string before = group.readSuiteBytes();
  LogCapture log;
  SetLastPlayDate("b", 1.0);
  SetLastPlayDate("notARecord", 1.0);
  SetLastPlayDate("\xff", 1.0);
  SetLastPlayDate(nullptr, 1.0);
  EXPECT_EQ(group.readSuiteBytes(), before);
  EXPECT_TRUE(log.lines().empty());

  TempAppGroup empty;
  empty.writeSuite(record({{"refCode", "R"}}));
  SetLastPlayDate("a", 1.0);
  EXPECT_EQ(empty.readSuite(), Value(record({{"refCode", "R"}})));
}

// ---- On-fire rotation ------------------------------------------------------------------

double hoursFromNow(double hours) { return secondsSince1970() + hours * 3600; }

TEST(OnFire, EmptyRegistryLogsNullKeysAndChoosesNothing) {
  Registry group{Dictionary()};
  LogCapture log;
  EXPECT_EQ(take(SetNextGameOnFire("a", hoursFromNow(1))), std::nullopt);
  EXPECT_EQ(log.lines(), (Lines{"--> setNextGameOnFire > currrentOnFireGameKey: (null)",
                                "--> setNextGameOnFire > newOnFireGameKey: (null)"}));
  EXPECT_EQ(currentOnFire(), std::nullopt);
}

TEST(OnFire, NoSuiteOrRegistryGivesNullWithoutLog) {
  TempAppGroup group;
  LogCapture log;
  EXPECT_EQ(take(SetNextGameOnFire("a", 1)), std::nullopt);
  EXPECT_EQ(currentOnFire(), std::nullopt);
  EXPECT_EQ(take(SetNextGameOnFire(nullptr, 1)), std::nullopt);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_FALSE(std::filesystem::exists(group.suitePath()));
}

TEST(OnFire, TheOnlyCandidateIsChosenEveryTime) {
  const double end = hoursFromNow(1);
  for (int i = 0; i < 10; ++i) {
    Registry group(record({{"a", Dictionary()}, {"b", record({{"InterstitialsDates", numbers({5})}})}}));
    LogCapture log;
    EXPECT_EQ(take(SetNextGameOnFire("a", end)), "b");
    EXPECT_EQ(group.field("b", "OnFireEndDate"), Value(end));
    EXPECT_EQ(group.field("a", "OnFireEndDate"), Value("<absent>"));
    EXPECT_EQ(log.lines(), (Lines{"--> setNextGameOnFire > currrentOnFireGameKey: (null)",
                                  "--> setNextGameOnFire > newOnFireGameKey: b"}));
    EXPECT_EQ(currentOnFire(), "b");
  }
}

TEST(OnFire, NoCandidateWritesNothingAndTheCurrentGameStaysOnFire) {
  // Only the excluded game, or the excluded game and the one on fire.
  for (const bool withCurrent : {false, true}) {
    Dictionary games = record({{"a", Dictionary()}});
    if (withCurrent) games.set("hot", record({{"OnFireEndDate", hoursFromNow(2)}}));
    Registry group(games);
    const std::string before = group.readSuiteBytes();
    LogCapture log;
    EXPECT_EQ(take(SetNextGameOnFire("a", hoursFromNow(3))), std::nullopt);
    EXPECT_EQ(log.lines(),
              (Lines{std::string("--> setNextGameOnFire > currrentOnFireGameKey: ") +
                         (withCurrent ? "hot" : "(null)"),
                     "--> setNextGameOnFire > newOnFireGameKey: (null)"}));
    EXPECT_EQ(group.readSuiteBytes(), before);
  }
}

TEST(OnFire, ExcludedCurrentGameIsClearedWhenAnotherIsChosen) {
  Registry group(record({{"hot", record({{"OnFireEndDate", hoursFromNow(1)}})}, {"b", Dictionary()}}));
  const double end = hoursFromNow(5);
  LogCapture log;
  EXPECT_EQ(take(SetNextGameOnFire("hot", end)), "b");
  EXPECT_EQ(log.lines(), (Lines{"--> setNextGameOnFire > currrentOnFireGameKey: hot",
                                "--> setNextGameOnFire > newOnFireGameKey: b",
                                "--> setNextGameOnFire > clear old On Fire game: hot"}));
  EXPECT_EQ(group.field("hot", "OnFireEndDate"), Value(0.0));
  EXPECT_EQ(group.field("b", "OnFireEndDate"), Value(end));
  EXPECT_EQ(currentOnFire(), "b");
}

TEST(OnFire, ChoosesTheSmallestLastInterstitialWhateverTheShuffle) {
  for (int i = 0; i < 20; ++i) {
    Registry group(record({{"x", record({{"InterstitialsDates", numbers({50})}})},
                           {"y", record({{"InterstitialsDates", numbers({40, 10})}})},
                           {"z", record({{"InterstitialsDates", numbers({30})}})}}));
    EXPECT_EQ(take(SetNextGameOnFire("none", hoursFromNow(1))), "y");  // 10, the last entry
  }
}

TEST(OnFire, TiesAreBrokenUniformlyAtRandom) {
  constexpr int kRounds = 400;
  std::map<std::string, int> chosen;
  TempAppGroup group;
  const Dictionary games = record({{"never", Dictionary()},
                                   {"empty", record({{"InterstitialsDates", Array()}})},
                                   {"recent", record({{"InterstitialsDates", numbers({7})}})}});
  for (int i = 0; i < kRounds; ++i) {
    group.writeSuite(record({{"GamesKey", games}}));
    const std::optional<std::string> key = take(SetNextGameOnFire("excluded", hoursFromNow(1)));
    ASSERT_TRUE(key);
    ++chosen[*key];
  }
  EXPECT_EQ(chosen.count("recent"), 0u);
  // Each of the two tied games is expected 200 times; 140 is more than six deviations away.
  EXPECT_GT(chosen["never"], 140);
  EXPECT_GT(chosen["empty"], 140);
}

TEST(OnFire, LatestFutureEndDateIsCurrentAndEarlierOneIsACandidate) {
  const double inOneHour = hoursFromNow(1);
  const double inTwoHours = hoursFromNow(2);
  Registry group(record({{"one", record({{"OnFireEndDate", inOneHour}})},
                         {"two", record({{"OnFireEndDate", inTwoHours}})},
                         {"busy", record({{"InterstitialsDates", numbers({99})}})}}));
  EXPECT_EQ(currentOnFire(), "two");
  // "one" (no interstitials) beats "busy": it is chosen and "two" is cleared.
  EXPECT_EQ(take(SetNextGameOnFire("x", inTwoHours)), "one");
  EXPECT_EQ(group.field("two", "OnFireEndDate"), Value(0.0));
  EXPECT_EQ(group.field("one", "OnFireEndDate"), Value(inTwoHours));
}

TEST(OnFire, PassedEndDatesDoNotCount) {
  const double justPassed = secondsSince1970() - 0.001;
  Registry group(record({{"old", record({{"OnFireEndDate", justPassed}})},
                         {"soon", record({{"OnFireEndDate", secondsSince1970() + 1}})},
                         {"none", Dictionary()},
                         {"nan", record({{"OnFireEndDate", std::nan("")}})},
                         {"text", record({{"OnFireEndDate", "later"}})}}));
  EXPECT_EQ(currentOnFire(), "soon");
  Registry expired(record({{"old", record({{"OnFireEndDate", justPassed}})}, {"b", Dictionary()}}));
  EXPECT_EQ(currentOnFire(), std::nullopt);
  LogCapture log;
  // The expired game is an ordinary candidate and nothing is cleared.
  const std::optional<std::string> key = take(SetNextGameOnFire("b", hoursFromNow(1)));
  EXPECT_EQ(key, "old");
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST(OnFire, EndDateInThePastIsStoredAndNothingIsOnFireAfterwards) {
  Registry group(record({{"hot", record({{"OnFireEndDate", hoursFromNow(1)}})}, {"b", Dictionary()}}));
  EXPECT_EQ(take(SetNextGameOnFire("a", 1000.0)), "b");
  EXPECT_EQ(group.field("b", "OnFireEndDate"), Value(1000.0));
  EXPECT_EQ(group.field("hot", "OnFireEndDate"), Value(0.0));
  EXPECT_EQ(currentOnFire(), std::nullopt);
}

TEST(OnFire, InvalidUtf8ExcludesNoGame) {
  Registry group(record({{"a", Dictionary()}}));
  EXPECT_EQ(take(SetNextGameOnFire("\xc3\x28", hoursFromNow(1))), "a");
}

TEST(OnFire, RecordsThatAreNotDictionariesAreNeverChosen) {
  Registry group(record({{"bad", numbers({1})}, {"good", record({{"InterstitialsDates", numbers({9})}})}}));
  EXPECT_EQ(take(SetNextGameOnFire("x", hoursFromNow(1))), "good");
  EXPECT_EQ(group.games().find("bad")->as<Array>()->size(), 1u);
}

// ---- Listing -----------------------------------------------------------------------------

TEST(Listing, OneObjectPerGameWithLastPlayDateWhenPresent) {
  Registry group(record({{"a", record({{"LastPlayDate", 2.5}, {"OnFireEndDate", 1.0}})},
                         {"b", record({{"InterstitialsDates", numbers({1})}})}}));
  EXPECT_EQ(take(GetAllGames()), R"([{"bundle":"a","lastPlayDate":2.5},{"bundle":"b"}])");
}

TEST(Listing, EmptyRegistryIsAnEmptyArrayAndMissingOneIsNull) {
  {
    Registry group{Dictionary()};
    EXPECT_EQ(take(GetAllGames()), "[]");
  }
  TempAppGroup group;
  EXPECT_EQ(take(GetAllGames()), std::nullopt);
  group.writeSuite(record({{"GamesKey", "not a dictionary"}}));
  EXPECT_EQ(take(GetAllGames()), std::nullopt);
}

TEST(Listing, GameKeysRoundTripThroughAJsonParser) {
  const std::vector<std::string> keys = {"quote\"d", "back\\slash", "new\nline", "ünï😀", ""};
  Dictionary games;
  for (const std::string& k : keys) games.set(k, Dictionary());
  Registry group(games);
  const std::optional<std::string> listing = take(GetAllGames());
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->find('\n'), std::string::npos);
  const nlohmann::json parsed = nlohmann::json::parse(*listing);
  ASSERT_EQ(parsed.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(parsed[i]["bundle"], keys[i]);
}

TEST(Listing, LastPlayDatePassesThroughAsStored) {
  Registry group(record({{"int", record({{"LastPlayDate", plist::Integer::fromUnsigned(UINT64_MAX)}})},
                         {"text", record({{"LastPlayDate", "yesterday"}})},
                         {"set", Dictionary()}}));
  SetLastPlayDate("set", 2.5);
  const nlohmann::json parsed = nlohmann::json::parse(*take(GetAllGames()));
  EXPECT_EQ(parsed[0]["lastPlayDate"].get<std::uint64_t>(), UINT64_MAX);
  EXPECT_EQ(parsed[1]["lastPlayDate"], "yesterday");
  EXPECT_EQ(parsed[2]["lastPlayDate"].get<double>(), 2.5);
}

struct Unrepresentable {
  const char* name;
  Value value;
  const char* reason;
  friend void PrintTo(const Unrepresentable& c, std::ostream* os) { *os << c.name; }
};

class ListingFailure : public ::testing::TestWithParam<Unrepresentable> {};

TEST_P(ListingFailure, FailsWholeWithTheErrorLine) {
  Registry group(record({{"ok", record({{"LastPlayDate", 1.0}})},
                         {"bad", record({{"LastPlayDate", GetParam().value}})}}));
  LogCapture log;
  EXPECT_EQ(take(GetAllGames()), std::nullopt);
  EXPECT_EQ(log.lines(), Lines{std::string("Error serializing gamesArray to JSON: ") + GetParam().reason});
}

INSTANTIATE_TEST_SUITE_P(
    Values, ListingFailure,
    ::testing::Values(
        Unrepresentable{"NaN", std::nan(""), "Invalid number value (NaN) in JSON write"},
        Unrepresentable{"Infinity", std::numeric_limits<double>::infinity(),
                        "Invalid number value (infinite) in JSON write"},
        Unrepresentable{"NestedInfinity", Array{Value(1.0), Value(-std::numeric_limits<double>::infinity())},
                        "Invalid number value (infinite) in JSON write"},
        Unrepresentable{"Date", plist::Date{0}, "Invalid type in JSON write (date)"},
        Unrepresentable{"Data", plist::Data{{1, 2}}, "Invalid type in JSON write (data)"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Interstitial window -----------------------------------------------------------------

struct Call {
  const char* game;
  double value;
  double duration;
};

bool interstitial(const Call& c) { return SetInterstitialDate(c.game, c.value, c.duration); }

Array listOf(const Registry& group, const std::string& game) {
  const Value v = group.field(game, "InterstitialsDates");
  return v.is<Array>() ? *v.as<Array>() : Array{Value("<not a list>")};
}

TEST(InterstitialWindow, TwoGameSequence) {
  Registry group(record({{"A", Dictionary()}, {"B", Dictionary()}}));
  struct Step {
    Call call;
    bool answer;
    Array a, b;
  };
  const Array absent{Value("<not a list>")};
  const std::vector<Step> steps = {
      {{"A", 0, 60}, false, numbers({0}), absent},
      {{"B", 30, 60}, false, numbers({0}), numbers({30})},
      {{"A", 100, 60}, true, numbers({100}), Array()},
      {{"B", 120, 60}, false, numbers({100}), numbers({120})},
      {{"A", 170, 60}, false, numbers({170}), numbers({120})},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(interstitial(steps[i].call), steps[i].answer) << "step " << i + 1;
    EXPECT_EQ(listOf(group, "A"), steps[i].a) << "step " << i + 1;
    EXPECT_EQ(listOf(group, "B"), steps[i].b) << "step " << i + 1;
  }
}

TEST(InterstitialWindow, FirstCallAppendsAndAnswersNoWithoutLookingFurther) {
  Registry group(record({{"A", Dictionary()}, {"B", record({{"InterstitialsDates", numbers({1})}})}}));
  LogCapture log;
  EXPECT_FALSE(interstitial({"A", 5, 0}));
  EXPECT_EQ(log.lines(), Lines{"--> setInterstitialDate > Current game inters: (\n    5\n)"});
  EXPECT_EQ(listOf(group, "A"), numbers({5}));
  EXPECT_EQ(listOf(group, "B"), numbers({1}));
}

TEST(InterstitialWindow, PrunesEveryGameWhenCallerOldestIsBeforeWindow) {
  Registry group(record({{"A", record({{"InterstitialsDates", numbers({0, 10})}})},
                         {"B", record({{"InterstitialsDates", numbers({5, 10})}, {"x", 1.0}})},
                         {"C", Dictionary()}}));
  LogCapture log;
  EXPECT_TRUE(interstitial({"A", 70, 60}));
  EXPECT_EQ(listOf(group, "A"), numbers({10, 70}));
  EXPECT_EQ(listOf(group, "B"), numbers({10}));  // an entry at the window start stays
  EXPECT_EQ(listOf(group, "C"), Array());        // gains an empty list
  EXPECT_EQ(group.field("B", "x"), Value(1.0));
  EXPECT_EQ(log.lines(),
            (Lines{"--> setInterstitialDate > Current game inters: (\n    0,\n    10,\n    70\n)",
                   "--> setInterstitialDate > Check inters for game: B",
                   "--> setInterstitialDate > Check inters for game > isContainsDates: 0",
                   "--> setInterstitialDate > Check inters for game: C",
                   "--> setInterstitialDate > Check inters for game > isContainsDates: 0",
                   "--> setInterstitialDate > Delete inters for game > Inters: (\n    10,\n    70\n)",
                   "--> setInterstitialDate > Delete inters for game > Inters: (\n    10\n)",
                   "--> setInterstitialDate > Delete inters for game > Inters: (\n)"}));
}

TEST(InterstitialWindow, OtherGameInsideWindowBlocksButPruneStillRuns) {
  Registry group(record({{"A", record({{"InterstitialsDates", numbers({0, 10})}})},
                         {"B", record({{"InterstitialsDates", numbers({3, 10.5})}})},
                         {"C", record({{"InterstitialsDates", numbers({20})}})},
                         {"D", record({{"InterstitialsDates", numbers({1, 2})}})}}));
  LogCapture log;
  EXPECT_FALSE(interstitial({"A", 70, 60}));
  EXPECT_EQ(listOf(group, "B"), numbers({10.5}));
  EXPECT_EQ(listOf(group, "D"), Array());  // all before the window: emptied, field kept
  const Lines lines = log.lines();
  // The check stops at B; C and D get no check line, but every game gets a prune line.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("Check inters for game: ") != std::string::npos; }),
            1);
  EXPECT_EQ(lines[2], "--> setInterstitialDate > Check inters for game > isContainsDates: 1");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("Delete inters") != std::string::npos; }),
            4);
}

TEST(InterstitialWindow, CallerOldestAtWindowStartAnswersNoAndPrunesNothing) {
  Registry group(record({{"A", record({{"InterstitialsDates", numbers({10, 70, 80})}})},
                         {"B", record({{"InterstitialsDates", numbers({1})}})}}));
  EXPECT_FALSE(interstitial({"A", 100, 90}));  // W = 10
  EXPECT_EQ(listOf(group, "A"), numbers({10, 70, 80, 100}));
  EXPECT_EQ(listOf(group, "B"), numbers({1}));
}

TEST(InterstitialWindow, CallerInsideWindowKeepsGrowing) {
  Registry group(record({{"A", record({{"InterstitialsDates", numbers({70, 80})}})}}));
  EXPECT_FALSE(interstitial({"A", 100, 60}));
  EXPECT_EQ(listOf(group, "A"), numbers({70, 80, 100}));
  Registry older(record({{"A", record({{"InterstitialsDates", numbers({10, 70, 80})}})}}));
  EXPECT_TRUE(interstitial({"A", 100, 60}));
  EXPECT_EQ(listOf(older, "A"), numbers({70, 80, 100}));
}

TEST(InterstitialWindow, OtherGameEntryAtWindowStartDoesNotBlock) {
  Registry group(record({{"A", record({{"InterstitialsDates", numbers({0})}})},
                         {"B", record({{"InterstitialsDates", numbers({10})}})}}));
  EXPECT_TRUE(interstitial({"A", 70, 60}));
  EXPECT_EQ(listOf(group, "B"), numbers({10}));
}

TEST(InterstitialWindow, ZeroDurationKeepsOnlyEntriesFromValueOn) {
  Registry group(record({{"A", record({{"InterstitialsDates", numbers({40})}})},
                         {"B", record({{"InterstitialsDates", numbers({30, 50})}})}}));
  EXPECT_TRUE(interstitial({"A", 50, 0}));  // B's 50 equals the value: no block
  EXPECT_EQ(listOf(group, "A"), numbers({50}));
  EXPECT_EQ(listOf(group, "B"), numbers({50}));
  Registry later(record({{"A", record({{"InterstitialsDates", numbers({40})}})},
                         {"B", record({{"InterstitialsDates", numbers({70})}})}}));
  EXPECT_FALSE(interstitial({"A", 50, 0}));  // B's 70 lies after the value
  EXPECT_EQ(listOf(later, "A"), numbers({50}));
  EXPECT_EQ(listOf(later, "B"), numbers({70}));
}

TEST(InterstitialWindow, MissingRecordOrRegistryAnswersNoAndWritesNothing) {
  Registry group(record({{"A", Dictionary()}, {"bad", "text"}}));
  const std::string before = group.readSuiteBytes();
  LogCapture log;
  for (const char* key : {"Z", "bad", "\xff\xfe"}) EXPECT_FALSE(interstitial({key, 100, 60})) << key;
  EXPECT_FALSE(SetInterstitialDate(nullptr, 100, 60));
  EXPECT_EQ(group.readSuiteBytes(), before);
  EXPECT_TRUE(log.lines().empty());
  TempAppGroup none;
  EXPECT_FALSE(interstitial({"A", 100, 60}));
  EXPECT_FALSE(std::filesystem::exists(none.suitePath()));
}

TEST(InterstitialWindow, NotANumberMakesItsTestsFail) {
  // W is NaN: the caller's test fails, nothing is pruned.
  Registry group(record({{"A", record({{"InterstitialsDates", numbers({0})}})},
                         {"B", record({{"InterstitialsDates", numbers({1})}})}}));
  EXPECT_FALSE(interstitial({"A", 100, std::nan("")}));
  EXPECT_EQ(listOf(group, "B"), numbers({1}));
  // A stored text neither blocks the answer nor survives the prune.
  Registry texts(record({{"A", record({{"InterstitialsDates", numbers({0})}})},
                         {"B", record({{"InterstitialsDates", Array{Value("200"), Value(40.0)}}})}}));
  EXPECT_TRUE(interstitial({"A", 100, 60}));
  EXPECT_EQ(listOf(texts, "B"), numbers({40}));
}

TEST(InterstitialWindow, ListThatIsNotAnArray) {
  Registry group(record({{"A", record({{"InterstitialsDates", "junk"}})},
                         {"B", record({{"InterstitialsDates", plist::Data{{1}}}})}}));
  EXPECT_FALSE(interstitial({"A", 5, 60}));  // the caller's list is started afresh
  EXPECT_EQ(listOf(group, "A"), numbers({5}));
  EXPECT_TRUE(interstitial({"A", 100, 60}));  // B cannot block and is left as it was
  EXPECT_EQ(group.field("B", "InterstitialsDates"), Value(plist::Data{{1}}));
}

TEST(InterstitialWindow, ConcurrentGamesLoseNoInterstitial) {
  constexpr int kGames = 6;
  constexpr int kCalls = 30;
  Dictionary games;
  for (int g = 0; g < kGames; ++g) games.set("game" + std::to_string(g), Dictionary());
  Registry group(games);
  // A window far wider than the values never prunes, so every entry must remain.
  ASSERT_TRUE(testing::runInChildren(kGames, [](int g) {
    const std::string key = "game" + std::to_string(g);
    for (int i = 0; i < kCalls; ++i) SetInterstitialDate(key.c_str(), 1000 + i, 1e9);
    return true;
  }));
  for (int g = 0; g < kGames; ++g) {
    Array expected;
    for (int i = 0; i < kCalls; ++i) expected.emplace_back(1000.0 + i);
    EXPECT_EQ(listOf(group, "game" + std::to_string(g)), expected);
  }
}

}  // namespace
}  // namespace orvo
