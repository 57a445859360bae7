#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "platform/PropertyList.h"
#include "support/TestSupport.h"

namespace orvo::plist {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes written(const Value& value) {
  auto bytes = writeBinaryPropertyList(value);
  if (!bytes) ADD_FAILURE() << "value not written";
  return bytes.value_or(Bytes{});
}

// Reading and writing again gives the same bytes: the check that also holds for NaN.
void expectStable(const Bytes& file) {
  const auto value = readBinaryPropertyList(file);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(written(*value), file);
}

// Assembles a binary file from raw objects, so that a test says exactly what the file holds.
class RawPlist {
 public:
  explicit RawPlist(unsigned refSize = 1) : refSize_(refSize) {}

  std::uint64_t add(Bytes object) {
    objects_.push_back(std::move(object));
    return objects_.size() - 1;
  }
  // An array (0xA0) or dictionary (0xD0) of `count` entries; keys first, then values.
  std::uint64_t container(std::uint8_t marker, const std::vector<std::uint64_t>& refs,
                          std::size_t count) {
    Bytes object = header(marker, count);
    for (const std::uint64_t ref : refs) append(object, ref, refSize_);
    return add(std::move(object));
  }
  std::uint64_t array(const std::vector<std::uint64_t>& refs) {
    return container(0xA0, refs, refs.size());
  }
  std::uint64_t ascii(std::string_view text) {
    Bytes object = header(0x50, text.size());
    object.insert(object.end(), text.begin(), text.end());
    return add(std::move(object));
  }
  Bytes build() const {
    Bytes file = bytesOf("bplist00");
    std::vector<std::uint64_t> offsets;
    for (const Bytes& object : objects_) {
      offsets.push_back(file.size());
      file.insert(file.end(), object.begin(), object.end());
    }
    const std::uint64_t table = file.size();
    const unsigned offsetSize = table < 256 ? 1 : table < 65536 ? 2 : 4;
    for (const std::uint64_t offset : offsets) append(file, offset, offsetSize);
    file.insert(file.end(), {0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(offsetSize),
                             static_cast<std::uint8_t>(refSize_)});
    append(file, objects_.size(), 8);
    append(file, 0, 8);  // top object
    append(file, table, 8);
    return file;
  }

  static void append(Bytes& out, std::uint64_t v, unsigned width) {
    for (unsigned i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  static Bytes header(std::uint8_t marker, std::uint64_t length) {
    if (length < 15) return {static_cast<std::uint8_t>(marker | length)};
    Bytes out{static_cast<std::uint8_t>(marker | 0x0F), 0x13};
    append(out, length, 8);
    return out;
  }

 private:
  unsigned refSize_;
  std::vector<Bytes> objects_;
};

// Trailer fields by their distance from the end of the file.
enum TrailerField { kOffsetSize = 26, kRefSize = 25, kObjectCount = 24, kTop = 16, kTable = 8 };

Bytes withTrailer(Bytes file, TrailerField field, std::uint64_t value) {
  const unsigned width = field >= kRefSize ? 1 : 8;
  for (unsigned i = 0; i < width; ++i) {
    file[file.size() - field + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
  }
  return file;
}

// Arrays nested `depth` deep, the innermost empty.
Bytes nestedBinary(std::size_t depth) {
  RawPlist raw(4);
  for (std::size_t i = 0; i + 1 < depth; ++i) raw.array({i + 1});
  raw.array({});
  return raw.build();
}

Bytes nestedXml(std::size_t depth) {
  std::string xml = "<plist>";
  for (std::size_t i = 0; i < depth; ++i) xml += "<array>";
  for (std::size_t i = 0; i < depth; ++i) xml += "</array>";
  return bytesOf(xml + "</plist>");
}

// The registry the module keeps: 50 games with 100 interstitial dates each.
Value typicalRegistry() {
  Dictionary games;
  for (int g = 0; g < 50; ++g) {
    Array dates;
    for (int i = 0; i < 100; ++i) dates.emplace_back(7.0e8 + g * 1000.0 + i * 0.125);
    Dictionary game;
    game.set("InterstitialsDates", std::move(dates));
    game.set("LastPlayDate", 7.1e8 + g);
    game.set("OnFireEndDate", 7.2e8 + g);
    char id[32];
    std::snprintf(id, sizeof id, "com.orvo.game%02d", g);
    games.set(id, std::move(game));
  }
  Dictionary root;
  root.set("GamesKey", std::move(games));
  root.set("eventsDates", Array{Value(7.0e8), Value(7.0e8 + 1)});
  root.set("refCode", "ABC\xC3\xA9");
  root.set("lastSync", Date{7.0e8});
  root.set("launches", Integer::fromUnsigned(UINT64_MAX));
  return Value(std::move(root));
}

// Runs `body` on a thread with a stack of `bytes`, as a host application's worker may have.
void runOnStack(std::size_t bytes, std::function<void()> body) {
  struct Attributes {
    pthread_attr_t attr;
    Attributes() { pthread_attr_init(&attr); }
    ~Attributes() { pthread_attr_destroy(&attr); }
  } attributes;
  ASSERT_EQ(pthread_attr_setstacksize(&attributes.attr, bytes), 0);
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<std::function<void()>*>(arg))();
    return nullptr;
  };
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes.attr, trampoline, &body), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

// plist_roundtrip.py with `arguments`, through the shell; paths in them are quoted.
testing::CommandResult runScript(const std::string& arguments) {
  return testing::runCommand(std::string(ORVO_PYTHON3) + " '" + ORVO_TEST_DATA_DIR +
                             "/plist_roundtrip.py' " + arguments + " 2>&1");
}

std::string shellQuoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

TEST(BinaryPropertyList, RoundTripsEveryValueType) {
  Dictionary nested;
  nested.set("inner", Array{Value(Integer::fromSigned(-5)), Value(Data{{0, 1, 255}})});
  Dictionary root;
  root.set("string", "hello");
  root.set("real", 2.5);
  root.set("integer", Integer::fromSigned(42));
  root.set("true", true);
  root.set("false", false);
  root.set("date", Date{-1234.5});
  root.set("data", Data{{1, 2, 3, 0, 200}});
  root.set("emptyData", Data{});
  root.set("uid", Uid{70000});
  root.set("array", Array{Value("x"), Value(1.0), Value(Array{}), Value(Dictionary{})});
  root.set("dict", std::move(nested));
  const Value original(std::move(root));

  const Bytes file = written(original);
  EXPECT_EQ(readBinaryPropertyList(file), original);
  EXPECT_EQ(readPropertyList(file), original);
  expectStable(file);
}

TEST(BinaryPropertyList, WritesScalarsInTheFormsPlistlibUses) {
  struct Case {
    Value value;
    std::uint8_t marker;  // the first byte of the only object
  };
  const Case cases[] = {
      {Integer::fromSigned(INT64_MIN), 0x13},
      {Integer::fromSigned(-1), 0x13},
      {Integer::fromSigned(0), 0x10},
      {Integer::fromSigned(255), 0x10},
      {Integer::fromSigned(256), 0x11},
      {Integer::fromSigned(65535), 0x11},
      {Integer::fromSigned(65536), 0x12},
      {Integer::fromSigned(std::int64_t{1} << 32), 0x13},
      {Integer::fromSigned(INT64_MAX), 0x13},
      {Integer::fromUnsigned(std::uint64_t{1} << 63), 0x14},
      {Integer::fromUnsigned(UINT64_MAX), 0x14},
      {Value(""), 0x50},
      {Value(std::string("a\0b", 3)), 0x53},
      {Value(std::string(300, 'x')), 0x5F},
      {Value("caf\xC3\xA9"), 0x64},
      {Value("\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"), 0x64},  // two surrogate pairs
      {Value(std::string("\0\xE4\xB8\xAD", 4)), 0x62},
      {Value(kNaN), 0x23},
      {Value(kInf), 0x23},
      {Value(-kInf), 0x23},
      {Value(-0.0), 0x23},
      {Value(Uid{255}), 0x80},
      {Value(Uid{65536}), 0x83},
  };
  for (const Case& c : cases) {
    const Bytes file = written(c.value);
    ASSERT_GT(file.size(), 8u);
    EXPECT_EQ(file[8], c.marker) << ::testing::PrintToString(file);
    expectStable(file);
    const auto read = readBinaryPropertyList(file);
    if (!c.value.is<double>() || !std::isnan(*c.value.as<double>())) {
      EXPECT_EQ(read, c.value) << ::testing::PrintToString(file);
    }
  }
}

TEST(BinaryPropertyList, KeepsKeyOrderAndStoresRepeatedKeysOnce) {
  const Value registry = typicalRegistry();
  const Bytes file = written(registry);
  const auto read = readBinaryPropertyList(file);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, registry);
  std::vector<std::string> order;
  for (const auto& entry : *read->as<Dictionary>()) order.push_back(entry.first);
  EXPECT_EQ(order, (std::vector<std::string>{"GamesKey", "eventsDates", "refCode", "lastSync",
                                             "launches"}));
  const std::string text(file.begin(), file.end());
  EXPECT_NE(text.find("InterstitialsDates"), std::string::npos);
  EXPECT_EQ(text.find("InterstitialsDates"), text.rfind("InterstitialsDates"));
}

TEST(BinaryPropertyList, WriterRefusesWhatNoReaderAccepts) {
  for (const std::string text :
       {"\xFF", "\xC0\x80", "\xED\xA0\x80", "\xE2\x82", "\xF5\x80\x80\x80"}) {
    EXPECT_FALSE(writeBinaryPropertyList(Value(text)).has_value()) << text;
    Dictionary keyed;
    keyed.set(text, true);
    EXPECT_FALSE(writeBinaryPropertyList(Value(std::move(keyed))).has_value()) << text;
  }
  auto nested = [](std::size_t depth) {
    Value value{Array{}};
    for (std::size_t i = 1; i < depth; ++i) value = Value(Array{std::move(value)});
    return value;
  };
  const auto deepest = writeBinaryPropertyList(nested(kMaxNestingDepth));
  ASSERT_TRUE(deepest.has_value());
  EXPECT_TRUE(readBinaryPropertyList(*deepest).has_value());
  EXPECT_FALSE(writeBinaryPropertyList(nested(kMaxNestingDepth + 1)).has_value());
}

TEST(BinaryPropertyList, RefusesEveryTruncation) {
  const Bytes file = written(typicalRegistry());
  for (std::size_t length = 0; length < file.size(); ++length) {
    EXPECT_FALSE(readBinaryPropertyList(std::span(file.data(), length)).has_value()) << length;
  }
}

TEST(BinaryPropertyList, RefusesHostileFiles) {
  RawPlist valid;  // ["k", true]
  valid.array({1, 2});
  valid.ascii("k");
  valid.add({0x09});
  const Bytes good = valid.build();
  ASSERT_TRUE(readBinaryPropertyList(good).has_value());
  auto patched = [&good](std::size_t fromEnd, std::uint8_t byte) {
    Bytes file = good;
    file[file.size() - fromEnd] = byte;
    return file;
  };
  auto build = [](const std::function<void(RawPlist&)>& fill, unsigned refSize = 1) {
    RawPlist raw(refSize);
    fill(raw);
    return raw.build();
  };
  auto withObject = [&build](Bytes object) {
    return build([&object](RawPlist& r) {
      r.array({1});
      r.add(object);
    });
  };
  auto withKey = [&build](Bytes key) {
    return build([&key](RawPlist& r) {
      r.container(0xD0, {1, 2}, 1);
      r.add(key);
      r.add({0x08});
    });
  };
  // Fifteen references to the next level on each: 15^levels values from a few bytes a level.
  auto bomb = [&build](std::uint64_t levels) {
    return build([levels](RawPlist& r) {
      for (std::uint64_t i = 0; i < levels; ++i) r.array(std::vector<std::uint64_t>(15, i + 1));
      r.add({0x09});
    });
  };
  // One string of `size` bytes referenced `uses` times.
  auto shared = [&build](std::size_t uses, std::size_t size) {
    return build(
        [=](RawPlist& r) {
          r.array(std::vector<std::uint64_t>(uses, 1));
          r.ascii(std::string(size, 'x'));
        },
        2);
  };

  const std::pair<const char*, Bytes> cases[] = {
      {"empty", {}},
      {"wrong magic", patched(good.size() - 7, '1')},
      {"offset size 0", withTrailer(good, kOffsetSize, 0)},
      {"offset size 9", withTrailer(good, kOffsetSize, 9)},
      {"ref size 0", withTrailer(good, kRefSize, 0)},
      {"ref size 9", withTrailer(good, kRefSize, 9)},
      {"no objects", withTrailer(good, kObjectCount, 0)},
      {"object count past the table", withTrailer(good, kObjectCount, 4)},
      {"object count 2^63", withTrailer(good, kObjectCount, std::uint64_t{1} << 63)},
      {"top object out of range", withTrailer(good, kTop, 3)},
      {"table inside the header", withTrailer(good, kTable, 4)},
      {"table past the trailer", withTrailer(good, kTable, good.size())},
      {"table at 2^64-1", withTrailer(good, kTable, UINT64_MAX)},
      {"offset into the header", patched(35, 3)},
      {"offset into the table", patched(35, 16)},
      {"ref past the objects", build([](RawPlist& r) {
         r.array({7});
         r.add({0x09});
       })},
      {"self-referencing array", build([](RawPlist& r) { r.array({0}); })},
      {"cycle through a dictionary", build([](RawPlist& r) {
         r.array({1});
         r.container(0xD0, {2, 0}, 1);
         r.ascii("k");
       })},
      {"expansion bomb", bomb(40)},
      {"60 KB string used 60,000 times", shared(60000, 60000)},
      {"100,000 levels", nestedBinary(100000)},
      {"513 levels", nestedBinary(kMaxNestingDepth + 1)},
      {"unpaired high surrogate", withObject({0x62, 0xD8, 0x3D, 0x00, 0x41})},
      {"high surrogate at the end", withObject({0x62, 0x00, 0x41, 0xD8, 0x3D})},
      {"lone low surrogate", withObject({0x62, 0xDE, 0x00, 0x00, 0x41})},
      {"ASCII string with a high byte", withObject({0x52, 'a', 0xE9})},
      {"string past the objects",
       withObject({0x5F, 0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"UTF-16 length overflowing", withObject({0x6F, 0x13, 0x80, 0, 0, 0, 0, 0, 0, 1})},
      {"array count past the objects", withObject({0xAF, 0x13, 0x40, 0, 0, 0, 0, 0, 0, 0})},
      {"length with a real marker", withObject({0x5F, 0x23, 1})},
      {"null", withObject({0x00})},
      {"fill byte", withObject({0x0F})},
      {"set", withObject({0xC0})},
      {"one-byte real", withObject({0x21, 0})},
      {"truncated real", withObject({0x23, 1, 2})},
      {"32-byte integer", withObject({0x15, 0})},
      {"16-byte integer past 2^64",
       withObject({0x14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0})},
      {"16-byte integer below -2^63", withObject({0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                  0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0})},
      {"three-byte UID", withObject({0x82, 1, 2, 3})},
      {"integer key", withKey({0x10, 1})},
      {"array key", withKey({0xA0})},
      {"duplicate keys", build([](RawPlist& r) {
         r.container(0xD0, {1, 2, 3, 3}, 2);
         r.ascii("k");
         r.ascii("k");
         r.add({0x09});
       })},
  };
  for (const auto& [name, file] : cases) {
    EXPECT_FALSE(readBinaryPropertyList(file).has_value()) << name;
  }
  // Sharing within the budgets reads, each use a copy of its own.
  EXPECT_TRUE(readBinaryPropertyList(bomb(4)).has_value());
  const auto copies = readBinaryPropertyList(shared(200, 1000));
  ASSERT_TRUE(copies.has_value());
  EXPECT_EQ(copies->as<Array>()->size(), 200u);
  EXPECT_EQ(copies->as<Array>()->back(), Value(std::string(1000, 'x')));
}

TEST(BinaryPropertyList, AcceptsOtherValidEncodings) {
  const std::pair<Bytes, Value> cases[] = {
      {{0x22, 0x3F, 0xC0, 0, 0}, Value(1.5)},
      {{0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, Value(Integer::fromSigned(-2))},
      {{0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
        0xFF, 0xFE},
       Value(Integer::fromSigned(-2))},
      {{0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}, Value(Integer::fromSigned(7))},
      {{0x12, 0xFF, 0xFF, 0xFF, 0xFF}, Value(Integer::fromSigned(0xFFFFFFFF))},
      {{0x5F, 0x10, 0x02, 'h', 'i'}, Value("hi")},
      {{0x62, 0x00, 0x00, 0x00, 0xE9}, Value(std::string("\0\xC3\xA9", 3))},
      {{0x87, 0, 0, 0, 0, 0, 0, 1, 0}, Value(Uid{256})},
  };
  for (const auto& [object, expected] : cases) {
    RawPlist raw;
    raw.add(object);
    EXPECT_EQ(readBinaryPropertyList(raw.build()), expected) << ::testing::PrintToString(object);
  }
}

TEST(BinaryPropertyList, RandomAndMutatedFilesReadBackStably) {
  std::mt19937_64 random(20240601);
  RawPlist mixed;
  mixed.container(0xD0, {1, 2, 3, 4}, 2);
  mixed.ascii("a");
  mixed.ascii("b");
  mixed.add({0x62, 0xD8, 0x3D, 0xDE, 0x00});
  mixed.add({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0});
  const Bytes seeds[] = {written(typicalRegistry()), mixed.build()};
  std::size_t accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes file = seeds[round % 2];
    if (round % 3 == 0) {  // random bytes behind the magic
      file.resize(8 + random() % 200);
      for (std::size_t i = 8; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(random());
    } else {
      for (auto flips = 1 + random() % 4; flips > 0; --flips) {
        file[random() % file.size()] ^= static_cast<std::uint8_t>(1 + random() % 255);
      }
    }
    if (const auto value = readBinaryPropertyList(file)) {
      ++accepted;
      expectStable(written(*value));
    }
  }
  EXPECT_GT(accepted, 0u);  // mutants that stay valid (a changed real, say) were checked too
}

TEST(XmlPropertyList, ReadsEveryElement) {
  Dictionary dict;
  dict.set("b", Integer::fromSigned(1));
  dict.set("a", Array{Value("x"), Value(true)});
  const std::pair<std::string, Value> cases[] = {
      {"<string>  two  </string>", Value("  two  ")},
      {"<string> </string>", Value(" ")},
      {"<string/>", Value("")},
      {"<string>&lt;a&amp;&#x1F600;<![CDATA[<b>]]></string>", Value("<a&\xF0\x9F\x98\x80<b>")},
      {"<string>&apos;&quot;&gt;&#65;&#xe9;\t</string>", Value("'\">A\xC3\xA9\t")},
      {"<integer>-9223372036854775808</integer>", Value(Integer::fromSigned(INT64_MIN))},
      {"<integer>18446744073709551615</integer>", Value(Integer::fromUnsigned(UINT64_MAX))},
      {"<integer>+17</integer>", Value(Integer::fromSigned(17))},
      {"<integer>0xFF</integer>", Value(Integer::fromSigned(255))},
      {"<real>-1.25e3</real>", Value(-1250.0)},
      {"<real>inf</real>", Value(kInf)},
      {"<real>-inf</real>", Value(-kInf)},
      {"<true/>", Value(true)},
      {"<false></false>", Value(false)},
      {"<date>2001-01-01T00:00:00Z</date>", Value(Date{0})},
      {"<date>2024-02-29T12:34:56Z</date>", Value(Date{730902896})},
      {"<date>0001-01-01T00:00:00Z</date>", Value(Date{-63113904000.0})},
      {"<data>\n\tAAEC\n\t/w==\n</data>", Value(Data{{0, 1, 2, 255}})},
      {"<data></data>", Value(Data{})},
      {"<dict>\n <key>b</key><integer>1</integer>\n <key>a</key>"
       "<array><string>x</string><true/></array></dict>",
       Value(dict)},
      {"<array><array/><dict/></array>", Value(Array{Value(Array{}), Value(Dictionary{})})},
  };
  for (const auto& [body, expected] : cases) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD "
        "PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n" +
        body + "\n</plist>\n";
    EXPECT_EQ(readXmlPropertyList(bytesOf(xml)), expected) << body;
    EXPECT_EQ(readPropertyList(bytesOf(xml)), expected) << body;
  }
  const auto nan = readXmlPropertyList(bytesOf("<plist><real>nan</real></plist>"));
  ASSERT_TRUE(nan && nan->is<double>());
  EXPECT_TRUE(std::isnan(*nan->as<double>()));
}

TEST(XmlPropertyList, RefusesMalformedDocuments) {
  // Entities of a document type are refused, not expanded.
  std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\">";
  for (char c = 'b'; c <= 'j'; ++c) {
    laughs += std::string("<!ENTITY ") + c + " \"" + std::string(10, '&') + "\">";
  }
  laughs += "]><plist><string>&j;</string></plist>";
  // Bad content for each element, then bad structure.
  const std::pair<std::string, std::vector<std::string>> contents[] = {
      {"integer",
       {"12abc", "1_000", "", "18446744073709551616", "-9223372036854775809", "-0x10", "--1"}},
      {"real", {"abc", "1.5x", "0x1p3", "1e999", ""}},
      {"string", {"a<b/>", "\xC3", "&#0;", "&#xD800;", "&#x110000;", "&bogus;", "&amp", "\x01"}},
      {"data", {"AA*A", "AAA", "A===", "AA=A"}},
      {"date",
       {"2023-02-29T00:00:00Z", "2001-13-01T00:00:00Z", "2001-01-01T24:00:00Z",
        "2001-01-01 00:00:00Z", "2001-01-01T00:00:00", "0000-01-01T00:00:00Z"}},
      {"true", {"yes"}},
  };
  for (const auto& [element, texts] : contents) {
    for (const std::string& text : texts) {
      const std::string xml = "<plist><" + element + ">" + text + "</" + element + "></plist>";
      EXPECT_FALSE(readXmlPropertyList(bytesOf(xml)).has_value()) << xml;
    }
  }
  const std::string bodies[] = {"",
                                "<true/><false/>",
                                "text<true/>",
                                "<unknown/>",
                                "<key>k</key>",
                                "<dict><key>a</key></dict>",
                                "<dict><string>a</string><true/></dict>",
                                "<dict><key>a</key><true/><key>a</key><false/></dict>",
                                "<dict><key>a</key><key>b</key><true/></dict>",
                                "<array><key>a</key></array>",
                                "<array>loose text</array>",
                                "<array><true/>"};
  for (const std::string& body : bodies) {
    EXPECT_FALSE(readXmlPropertyList(bytesOf("<plist>" + body + "</plist>")).has_value()) << body;
  }
  for (const std::string& xml : {std::string(), std::string("<plist>"), std::string("<array/>"),
                                 std::string("<plist><true/></plist><plist/>"), laughs}) {
    EXPECT_FALSE(readXmlPropertyList(bytesOf(xml)).has_value()) << xml;
  }
  EXPECT_TRUE(readXmlPropertyList(nestedXml(kMaxNestingDepth)).has_value());
  EXPECT_FALSE(readXmlPropertyList(nestedXml(kMaxNestingDepth + 1)).has_value());
  EXPECT_FALSE(readXmlPropertyList(nestedXml(100000)).has_value());
}

TEST(PropertyList, ReadsDeepFilesOnASmallStack) {
  const Bytes files[] = {nestedBinary(kMaxNestingDepth), nestedBinary(100000),
                         nestedXml(kMaxNestingDepth), nestedXml(100000)};
  bool read[4] = {false, true, false, true};
  runOnStack(256 * 1024, [&] {
    for (int i = 0; i < 4; ++i) read[i] = readPropertyList(files[i]).has_value();
  });
  EXPECT_TRUE(read[0]);
  EXPECT_FALSE(read[1]);
  EXPECT_TRUE(read[2]);
  EXPECT_FALSE(read[3]);
}

TEST(PropertyList, AgreesWithPlistlibOnGeneratedFiles) {
  testing::TempAppGroup temp;
  const auto result = runScript("roundtrip " + shellQuoted(ORVO_PLIST_REWRITE) + " " +
                                shellQuoted(temp.dataHome()) + " 400 2024");
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("compared 400, mismatches 0"), std::string::npos) << result.output;
}

TEST(PropertyList, PlistlibReadsTheTypicalRegistryAsWritten) {
  testing::TempAppGroup temp;
  const Value registry = typicalRegistry();
  const Bytes file = written(registry);
  const auto ours = temp.dataHome() / "ours.plist";
  const auto theirs = temp.dataHome() / "theirs.plist";
  std::ofstream(ours, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  const auto result = runScript("convert " + shellQuoted(ours) + " " + shellQuoted(theirs));
  ASSERT_EQ(result.status, 0) << result.output;
  const std::string converted = testing::readFile(theirs);
  EXPECT_EQ(readPropertyList(bytesOf(converted)), registry);
}

}  // namespace
}  // namespace orvo::plist
