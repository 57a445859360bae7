// The player-level entries, through the exported functions against a real temporary store.
#include <OrvoModule/OrvoModule.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "support/TestSupport.h"

namespace orvo {
namespace {

using plist::Array;
using plist::Dictionary;
using plist::Value;
using testing::TempAppGroup;

using testing::takeText;

Value suiteWith(std::string key, Value value) {
  Dictionary root;
  root.set(std::move(key), std::move(value));
  return root;
}

struct UserDataCase {
  const char* name;
  std::string content;
  std::optional<std::string> expected;
  friend void PrintTo(const UserDataCase& c, std::ostream* os) { *os << c.name; }
};

class UserIdentity : public ::testing::TestWithParam<UserDataCase> {};

TEST_P(UserIdentity, ReadsTopLevelUserIDOrNothing) {
  TempAppGroup group;
  group.writeFile("UserData", GetParam().content);
  EXPECT_EQ(takeText(GetUserID()), GetParam().expected);
}

// The text in UTF-16 (2-byte units) or UTF-32, in either byte order, with or without a mark.
std::string wide(std::u32string_view text, unsigned unit, bool bigEndian, bool mark) {
  std::u32string units = mark ? U"\uFEFF" : U"";
  for (const char32_t c : text) {
    if (unit == 2 && c > 0xFFFF) {
      units += {0xD800 + ((c - 0x10000) >> 10), 0xDC00 + ((c - 0x10000) & 0x3FF)};
    } else {
      units += c;
    }
  }
  std::string bytes;
  for (const char32_t u : units) {
    for (unsigned i = 0; i < unit; ++i)
      bytes += static_cast<char>(u >> 8 * (bigEndian ? unit - 1 - i : i));
  }
  return bytes;
}

constexpr std::u32string_view kWideDocument = U"{\"UserID\":\"j\u00fcrgen-\U0001F600\"}";

std::string deeplyNested(int levels) {
  return "{\"a\":" + std::string(levels, '[') + std::string(levels, ']') + ",\"UserID\":\"x\"}";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UserIdentity,
    ::testing::Values(
        UserDataCase{"Plain", R"({"UserID":"player-1","other":3})", "player-1"},
        UserDataCase{"EmptyString", R"({"UserID":""})", ""},
        UserDataCase{"NonAscii", R"({"UserID":"j\u00fcrgen-\ud83d\ude00"})", "jürgen-😀"},
        UserDataCase{"Missing", R"({"userid":"x"})", std::nullopt},
        UserDataCase{"BareString", R"("player-1")", std::nullopt},
        UserDataCase{"BareNumber", "42", std::nullopt},
        UserDataCase{"TopLevelArray", R"([{"UserID":"x"}])", std::nullopt},
        UserDataCase{"NumberID", R"({"UserID":42})", std::nullopt},
        UserDataCase{"NullID", R"({"UserID":null})", std::nullopt},
        UserDataCase{"ObjectID", R"({"UserID":{"UserID":"x"}})", std::nullopt},
        UserDataCase{"NestedOnly", R"({"profile":{"UserID":"x"}})", std::nullopt},
        UserDataCase{"LastDuplicateWins", R"({"UserID":"a","UserID":"b"})", "b"},
        UserDataCase{"InvalidUtf8", "{\"UserID\":\"a\xff\"}", std::nullopt},
        UserDataCase{"NestedWithinLimit", deeplyNested(500), "x"},
        UserDataCase{"MillionLevels", std::string(1000000, '['), std::nullopt},
        UserDataCase{"MillionLevelsObject", deeplyNested(1000000), std::nullopt},
        UserDataCase{"Utf16LE", wide(kWideDocument, 2, false, false), "jürgen-😀"},
        UserDataCase{"Utf16BEMarked", wide(kWideDocument, 2, true, true), "jürgen-😀"},
        UserDataCase{"Utf16LEMarked", wide(kWideDocument, 2, false, true), "jürgen-😀"},
        UserDataCase{"Utf32BE", wide(kWideDocument, 4, true, false), "jürgen-😀"},
        UserDataCase{"Utf32LEMarked", wide(kWideDocument, 4, false, true), "jürgen-😀"},
        UserDataCase{"Utf32BEMarked", wide(kWideDocument, 4, true, true), "jürgen-😀"},
        UserDataCase{"Utf16LoneSurrogate",
                     wide(U"{\"UserID\":\"\uD7FF\"}", 2, false, false)
                         .replace(22, 2, std::string("\x00\xD8", 2)),
                     std::nullopt},
        UserDataCase{"Utf16OddLength", wide(kWideDocument, 2, true, false) + "x", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UserIdentityFile, NoContainerNoFileOrAFolderGivesNull) {
  TempAppGroup group;
  EXPECT_EQ(GetUserID(), nullptr);  // container without UserData
  std::filesystem::create_directories(group.container() / "UserData");
  EXPECT_EQ(GetUserID(), nullptr);
  std::filesystem::remove(group.container() / "UserData");
  group.writeFile("UserData", R"({"UserID":"x"})");
  std::filesystem::rename(group.container(), group.dataHome() / "elsewhere");
  EXPECT_EQ(GetUserID(), nullptr);  // no container at all
}

TEST(UserIdentityFile, EveryCallReturnsItsOwnCopy) {
  TempAppGroup group;
  group.writeFile("UserData", R"({"UserID":"player-1"})");
  char* first = GetUserID();
  char* second = GetUserID();
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);
  std::free(first);
  EXPECT_EQ(takeText(second), "player-1");
}

TEST(ReferralCode, IsTheStoredTextOrNull) {
  TempAppGroup group;
  EXPECT_EQ(GetRefCode(), nullptr);  // no suite file at all
  const std::vector<std::pair<Value, std::optional<std::string>>> cases = {
      {"ORVO-1", "ORVO-1"}, {"", ""}, {42.0, std::nullopt}, {Array{Value("ORVO-1")}, std::nullopt}};
  for (const auto& [stored, expected] : cases) {
    group.writeSuite(suiteWith("refCode", stored));
    EXPECT_EQ(takeText(GetRefCode()), expected);
  }
  group.writeSuite(Dictionary());
  EXPECT_EQ(GetRefCode(), nullptr);
  const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>refCode</key><string>X &amp; Y</string></dict></plist>)";
  group.writeSuiteBytes(xml);
  EXPECT_EQ(takeText(GetRefCode()), "X & Y");
  // A host's XML suite: the first write-back makes it binary and keeps the XML as the last good
  // copy.
  SetEventDate(1.0);
  EXPECT_EQ(group.readSuiteBytes().rfind("bplist00", 0), 0u);
  EXPECT_EQ(takeText(GetRefCode()), "X & Y");
  EXPECT_EQ(testing::readFile(group.lastGoodPath()), xml);
}

Array eventsIn(const TempAppGroup& group) {
  const std::optional<Value> root = group.readSuite();
  if (!root || !root->is<Dictionary>()) return {};
  const Value* events = root->as<Dictionary>()->find("eventsDates");
  return events && events->is<Array>() ? *events->as<Array>() : Array{};
}

TEST(EventLog, AppendsEachValueUnchanged) {
  TempAppGroup group;
  for (const double v : {5.0, -1.25, 0.0, 5.0}) SetEventDate(v);
  EXPECT_EQ(eventsIn(group), (Array{Value(5.0), Value(-1.25), Value(0.0), Value(5.0)}));
  group.writeSuite(suiteWith("eventsDates", "text"));  // replaced, as no append can keep it
  SetEventDate(7.5);
  EXPECT_EQ(eventsIn(group), (Array{Value(7.5)}));
  std::filesystem::remove_all(group.container());
  SetEventDate(1.0);
  EXPECT_FALSE(std::filesystem::exists(group.container()));
}

TEST(EventLog, KeepsStoredElementsWhateverTheirTypeAndOtherKeys) {
  TempAppGroup group;
  Dictionary root;
  root.set("refCode", "R");
  root.set("eventsDates", Array{Value(1.0), Value(plist::Integer::fromSigned(2)), Value("odd")});
  root.set("GamesKey", Dictionary());
  group.writeSuite(root);
  SetEventDate(2.0);
  Dictionary expected = root;
  expected.set("eventsDates",
               Array{Value(1.0), Value(plist::Integer::fromSigned(2)), Value("odd"), Value(2.0)});
  EXPECT_EQ(group.readSuite(), Value(expected));
}

struct CorruptSuite {
  const char* name;
  std::string bytes;
  friend void PrintTo(const CorruptSuite& c, std::ostream* os) { *os << c.name; }
};

class CorruptSuiteFile : public ::testing::TestWithParam<CorruptSuite> {};

TEST_P(CorruptSuiteFile, GivesNoValueAndIsNeverRewritten) {
  TempAppGroup group;
  group.writeSuiteBytes(GetParam().bytes);
  EXPECT_EQ(GetRefCode(), nullptr);
  SetEventDate(1.0);
  EXPECT_EQ(group.readSuiteBytes(), GetParam().bytes);
}

std::string truncatedValidSuite() {
  Dictionary root;
  root.set("refCode", "ORVO-1");
  root.set("eventsDates", Array{Value(1.0), Value(2.0)});
  auto bytes = plist::writeBinaryPropertyList(root);
  return std::string(bytes->begin(), bytes->end() - 5);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, CorruptSuiteFile,
    ::testing::Values(CorruptSuite{"Truncated", truncatedValidSuite()},
                      CorruptSuite{"BadXml", "<plist version=\"1.0\"><dict><key>a</key>"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvo
