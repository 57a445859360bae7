#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "platform/plist/PropertyList.h"
#include "platform/plist/PropertyListEdit.h"
#include "platform/plist/PropertyListView.h"
#include "support/TestSupport.h"

namespace orvo::plist {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Refs = std::vector<std::uint64_t>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kBit63 = std::uint64_t{1} << 63;

using namespace std::string_view_literals;

// A binary file as the module reads it: through a view, whole.
std::optional<Value> readBinaryPropertyList(std::span<const std::uint8_t> bytes) {
  const std::optional<View> view = View::read(bytes);
  return view ? std::optional<Value>(view->root().toValue()) : std::nullopt;
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The arguments as a vector of T: a table that reads as one list.
template <typename T, typename... Args>
std::vector<T> listOf(Args&&... args) {
  return {T(std::forward<Args>(args))...};
}

Dictionary dictOf(std::initializer_list<Dictionary::Entry> entries) {
  Dictionary dict;
  for (const auto& [key, value] : entries) dict.set(key, value);
  return dict;
}

// Equal, a NaN to a NaN too.
bool same(const std::optional<Value>& read, const Value& expected) {
  const double* a = read ? read->as<double>() : nullptr;
  const double* b = expected.as<double>();
  return read == expected || (a && b && std::isnan(*a) && std::isnan(*b));
}

Bytes written(const Value& value) {
  auto bytes = writeBinaryPropertyList(value);
  if (!bytes) ADD_FAILURE() << "value not written";
  return bytes.value_or(Bytes{});
}

// Binary files are assembled from raw objects, so that a test says exactly what a file holds.
// `out`, then each of `values` in `width` big-endian bytes.
Bytes append(Bytes out, const Refs& values, unsigned width) {
  for (const std::uint64_t v : values) {
    for (unsigned i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  return out;
}
Bytes raw(std::uint8_t marker, const Refs& values, unsigned width = 8) {
  return append({marker}, values, width);
}
// A real, or with 0x33 a date.
Bytes real(double value, std::uint8_t marker = 0x23) {
  return raw(marker, {std::bit_cast<std::uint64_t>(value)});
}
// A marker with a length in its low bits or, from 15 on, in the smallest integer after it.
Bytes head(std::uint8_t marker, std::uint64_t length) {
  if (length < 15) return {static_cast<std::uint8_t>(marker | length)};
  const unsigned log = length < 256 ? 0 : length < 65536 ? 1 : length >> 32 == 0 ? 2 : 3;
  return append(raw(marker | 0x0F, {0x10u | log}, 1), {length}, 1u << log);
}
// Containers refer to other objects by their index, in four bytes.
Bytes array(const Refs& refs) { return append(head(0xA0, refs.size()), refs, 4); }
Bytes dict(const Refs& keysThenValues) {
  return append(head(0xD0, keysThenValues.size() / 2), keysThenValues, 4);
}
Bytes ascii(std::string_view text) {
  return append(head(0x50, text.size()), Refs(text.begin(), text.end()), 1);
}
// The file holding `objects`, the first on top.
Bytes build(const std::vector<Bytes>& objects) {
  Bytes file = bytesOf("bplist00");
  Refs offsets;
  for (const Bytes& object : objects) {
    offsets.push_back(file.size());
    file.insert(file.end(), object.begin(), object.end());
  }
  const std::uint64_t table = file.size();
  const unsigned offsetSize = table < 256 ? 1 : table < 65536 ? 2 : 4;
  file = append(append(file, offsets, offsetSize), {0, 0, 0, 0, 0, 0, offsetSize, 4}, 1);
  return append(file, {objects.size(), 0, table}, 8);
}

// Trailer fields by their distance from the end of the file; from the object count on they are
// eight bytes wide.
enum : std::size_t { kOffsetSize = 26, kRefSize = 25, kObjectCount = 24, kTop = 16, kTable = 8 };

Bytes patched(Bytes file, std::size_t fromEnd, std::uint64_t value) {
  const Bytes field = append({}, {value}, fromEnd <= kObjectCount ? 8 : 1);
  std::copy(field.begin(), field.end(), file.end() - static_cast<std::ptrdiff_t>(fromEnd));
  return file;
}

// Arrays nested `depth` deep, the innermost empty.
Bytes nestedBinary(std::uint64_t depth) {
  std::vector<Bytes> objects;
  for (std::uint64_t i = 1; i < depth; ++i) objects.push_back(array({i}));
  objects.push_back(array({}));
  return build(objects);
}

Bytes nestedXml(std::size_t depth) {
  std::string xml = "<plist>";
  for (std::size_t i = 0; i < depth; ++i) xml += "<array>";
  for (std::size_t i = 0; i < depth; ++i) xml += "</array>";
  return bytesOf(xml + "</plist>");
}

TEST(BinaryPropertyList, RoundTripsEveryKindOfValueAndReadsOtherWritersForms) {
  // Integers at each width's edges, eight bytes when negative, sixteen from 2^63 on; strings in
  // ASCII or else UTF-16, past the BMP in surrogate pairs; lengths from 15 on.
  const Array values =
      listOf<Value>(Integer::fromSigned(INT64_MIN), Integer::fromSigned(-1), Integer::fromSigned(0),
                    Integer::fromSigned(255), Integer::fromSigned(256), Integer::fromSigned(65535),
                    Integer::fromSigned(65536), Integer::fromSigned(0xFFFFFFFF),
                    Integer::fromSigned(std::int64_t{1} << 32), Integer::fromSigned(INT64_MAX),
                    Integer::fromUnsigned(kBit63), Integer::fromUnsigned(UINT64_MAX), Uid{255},
                    Uid{256}, Uid{65536}, std::nan(""), kInf, -kInf, -0.0, true, false,
                    Date{-1234.5}, Data{{1, 2, 3, 0, 200}}, Data{}, Array{}, Dictionary{}, "",
                    std::string("a\0b", 3), std::string(300, 'x'), "caf\xC3\xA9",
                    "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", std::string("\0\xE4\xB8\xAD", 4));
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_TRUE(same(readBinaryPropertyList(written(values[i])), values[i])) << i;
  }
  // Forms other writers use: a four-byte real, sixteen-byte integers below 2^63, a length of a
  // short string after the marker, an eight-byte UID.
  const auto others =
      listOf<Bytes>(raw(0x22, {0x3FC00000}, 4), raw(0x14, {UINT64_MAX, UINT64_MAX - 1}),
                    raw(0x14, {0, 7}), raw(0x5F, {0x10, 2, 'h', 'i'}, 1), raw(0x87, {256}));
  const Array read =
      listOf<Value>(1.5, Integer::fromSigned(-2), Integer::fromSigned(7), "hi", Uid{256});
  for (std::size_t i = 0; i < others.size(); ++i) {
    EXPECT_EQ(readBinaryPropertyList(build({others[i]})), read[i]) << i;
  }
}

TEST(BinaryPropertyList, RoundTripsTheRegistryAndRefusesEveryTruncation) {
  // The registry the module keeps, 50 games with 100 interstitial dates each; keys out of order.
  Dictionary games;
  for (int g = 0; g < 50; ++g) {
    Array dates;
    for (int i = 0; i < 100; ++i) dates.emplace_back(7.0e8 + g * 1000.0 + i * 0.125);
    games.set("com.orvo.game" + std::to_string(g),
              dictOf({{"InterstitialsDates", dates}, {"LastPlayDate", 7.1e8 + g}}));
  }
  const Value registry =
      dictOf({{"GamesKey", games}, {"refCode", "ABC\xC3\xA9"}, {"lastSync", Date{7.0e8}}});
  const Bytes file = written(registry);
  ASSERT_GT(file.size(), 65536u);                     // offsets four bytes wide
  EXPECT_EQ(readBinaryPropertyList(file), registry);  // dictionaries compare entries in order
  const std::string text(file.begin(), file.end());   // a repeated key is written once
  EXPECT_NE(text.find("InterstitialsDates"), std::string::npos);
  EXPECT_EQ(text.find("InterstitialsDates"), text.rfind("InterstitialsDates"));
  for (std::size_t length = 0; length < file.size(); ++length) {
    EXPECT_FALSE(readBinaryPropertyList(std::span(file.data(), length))) << length;
  }
}

TEST(BinaryPropertyList, WriterRefusesWhatNoReaderAccepts) {
  for (const std::string text :
       {"\xFF", "\xC0\x80", "\xED\xA0\x80", "\xE2\x82", "\xF5\x80\x80\x80"}) {
    EXPECT_FALSE(writeBinaryPropertyList(Value(text))) << text;
    EXPECT_FALSE(writeBinaryPropertyList(dictOf({{text, true}}))) << text;
  }
  Value nested{Array{}};
  for (std::size_t depth = 1; depth < kMaxNestingDepth; ++depth) nested = Array{nested};
  EXPECT_EQ(readBinaryPropertyList(written(nested)), nested);
  EXPECT_FALSE(writeBinaryPropertyList(Array{nested}));
}

TEST(BinaryPropertyList, RefusesHostileFiles) {
  const Bytes good = build({array({1, 2}), ascii("k"), {0x09}});  // ["k", true]
  ASSERT_TRUE(readBinaryPropertyList(good).has_value());
  // A field of the trailer out of range, or an offset: that of the top object into the header
  // (where "bplist00" reads as a string), that of `true` into the table (whose first byte reads
  // as `false`).
  const std::pair<std::size_t, std::uint64_t> patches[] = {
      {kOffsetSize, 0},      {kOffsetSize, 9},      {kRefSize, 0},          {kRefSize, 9},
      {kObjectCount, 0},     {kObjectCount, 4},     {kObjectCount, kBit63}, {kTop, 3},
      {kTable, 4},           {kTable, good.size()}, {kTable, UINT64_MAX},   {35, 0},
      {33, good.size() - 35}};
  for (const auto& [fromEnd, value] : patches) {
    EXPECT_FALSE(readBinaryPropertyList(patched(good, fromEnd, value))) << fromEnd << " " << value;
  }
  // Objects no value is read from, as the last element of an array: unpaired surrogates (a high
  // one at the end, a low one after it), an ASCII string with a high byte, objects cut short,
  // lengths past the end, one that is no integer, null, fill and set, a one-byte real, integers
  // out of range, a three-byte UID.
  const auto objects = listOf<Bytes>(
      raw(0x62, {0xD83D, 0x41}, 2), raw(0x61, {0xD83D, 0xDC00}, 2), raw(0x62, {0xDC00, 0xDC00}, 2),
      raw(0x52, {'a', 0xE9}, 1), raw(0x63, {0x41, 0x42}, 2), raw(0x43, {1}, 2), raw(0x13, {1}, 7),
      raw(0x23, {1}, 7), raw(0x33, {1}, 7), raw(0x83, {1}, 3), head(0x50, UINT64_MAX),
      head(0x60, kBit63 + 1), head(0xA0, kBit63 >> 1), raw(0x5F, {0x20, 1, 'a'}, 1), raw(0x00, {}),
      raw(0x0F, {}), raw(0xC0, {}), raw(0x21, {0}), raw(0x15, {0, 0, 0, 0}), raw(0x14, {1, 0}),
      raw(0x14, {UINT64_MAX, INT64_MAX}), raw(0x82, {0x010203}, 3));
  for (const Bytes& object : objects) {
    EXPECT_FALSE(readBinaryPropertyList(build({array({1}), object})))
        << ::testing::PrintToString(object);
  }
  // Fifteen references to the next level on each: 15^levels values from a few bytes a level.
  auto bomb = [](std::uint64_t levels) {
    std::vector<Bytes> objects;
    for (std::uint64_t i = 1; i <= levels; ++i) objects.push_back(array(Refs(15, i)));
    objects.push_back({0x09});
    return build(objects);
  };
  // One string of `size` bytes referenced `uses` times.
  auto shared = [](std::size_t uses, std::size_t size) {
    return build({array(Refs(uses, 1)), ascii(std::string(size, 'x'))});
  };
  const std::pair<const char*, Bytes> files[] = {
      {"empty", {}},
      {"wrong magic", patched(good, good.size() - 7, '1')},
      {"ref past the objects", build({array({7}), {0x09}})},
      {"self-referencing array", build({array({0})})},
      {"cycle through a dictionary", build({array({1}), dict({2, 0}), ascii("k")})},
      {"expansion bomb", bomb(40)},
      {"60 KB string used 60,000 times", shared(60000, 60000)},
      {"integer key", build({dict({1, 2}), {0x10, 1}, {0x08}})},
      {"array key", build({dict({1, 2}), {0xA0}, {0x08}})},
      {"duplicate keys", build({dict({1, 2, 3, 3}), ascii("k"), ascii("k"), {0x09}})}};
  for (const auto& [name, file] : files) EXPECT_FALSE(readBinaryPropertyList(file)) << name;
  // Sharing within the budgets reads, each use a copy of its own.
  EXPECT_TRUE(readBinaryPropertyList(bomb(4)).has_value());
  EXPECT_EQ(readBinaryPropertyList(shared(200, 1000)), Array(200, std::string(1000, 'x')));
}

// Lookups answer from the bytes: keys scanned in small dictionaries and hashed in large ones,
// ASCII and UTF-16 keys alike; a handle of another kind answers nothing.
TEST(PropertyListView, FindsWhatEachHandleHolds) {
  Dictionary large;
  for (int i = 0; i < 20; ++i) large.set((i % 2 ? "k" : "k\xC3\xA9") + std::to_string(i), 1.0 * i);
  const Bytes file = written(dictOf({{"large", large},
                                     {"small", dictOf({{"a", true}, {"\xE4\xB8\xAD", "x"}})},
                                     {"list", Array{Value(1.5), Value(Integer::fromSigned(-2))}}}));
  const std::optional<View> view = View::read(file);
  ASSERT_TRUE(view);
  const Object root = view->root(), list = root.find("list");
  for (int i = 0; i < 20; ++i) {
    const std::string key = (i % 2 ? "k" : "k\xC3\xA9") + std::to_string(i);
    EXPECT_EQ(root.find("large").find(key).number(), 1.0 * i) << key;
    EXPECT_EQ(root.find("large").position(key), static_cast<std::size_t>(i)) << key;
  }
  const std::pair<const char*, Object> none[] = {
      {"absent key", root.find("large").find("k1x")},
      {"key of another dictionary", root.find("a")},
      {"a key's prefix", root.find("small").find("\xE4")},
      {"past the end", list.element(2)},
      {"element of a dictionary", root.element(0)},
      {"key of an array", list.find("a")},
      {"lookup in nothing", Object().find("a")}};
  for (const auto& [name, object] : none) EXPECT_FALSE(object) << name;
  EXPECT_EQ(root.find("small").find("\xE4\xB8\xAD").string(), "x");
  EXPECT_EQ(list.last().integer(), Integer::fromSigned(-2));
  EXPECT_EQ(list.element(0).number(), 1.5);
  EXPECT_FALSE(list.element(0).integer() || list.element(0).string() || list.size() != 2);
  EXPECT_EQ(root.find("small").size() + root.size() + list.element(0).size(), 5u);
}

// ---- The copying writer ----------------------------------------------------------------------

// What a write must have kept of the stored file, beyond reading back as expected.
enum class Kept {
  kEveryByte,    // nothing changed
  kEveryOffset,  // a value replaced by one of its size, where it stood
  kNoGarbage,    // no larger than the same values written anew
  kValues,       // only the values: the file shares what a new one would not
};

struct Change {
  const char* name;
  Bytes stored;
  std::function<void(const Object& root, DictionaryEdit& top)> change;
  Value expected;
  Kept kept;
};

// Lists of `count` reals from 1, under "l" beside a record "r" of two numbers.
Value listAndRecord(int count) {
  Array list;
  for (int i = 1; i <= count; ++i) list.emplace_back(1.0 * i);
  return dictOf({{"l", list}, {"r", dictOf({{"a", 1.0}, {"b", 2.0}})}});
}

Value withList(Value root, Array list) {
  root.as<Dictionary>()->set("l", std::move(list));
  return root;
}

ListEdit appending(const Object& list, double value) {
  ListEdit edit(list);
  edit.append(value);
  return edit;
}

// Each stored file changed through a view: the file written reads back as expected, keeps what
// it should, and writes again to the very same bytes.
TEST(BinaryWriter, CopiesWhatDidNotChangeAndLeavesNoGarbage) {
  const Value small = listAndRecord(3);
  Value recordChanged = small;
  recordChanged.as<Dictionary>()->find("r")->as<Dictionary>()->set("a", 5.0);
  Value keyAdded = small;
  keyAdded.as<Dictionary>()->set("new", "x");
  const Bytes sharedNumber = build({dict({1, 2, 3, 3}), ascii("a"), ascii("b"), real(1)});
  const Bytes sharedRecord =
      build({dict({1, 2, 3, 3}), ascii("x"), ascii("y"), dict({4, 5}), ascii("k"), real(1)});
  const Bytes garbage = build({dict({1, 2}), ascii("a"), real(1), ascii("left behind")});
  const auto record = [](double k) { return Value(dictOf({{"k", k}})); };
  Array manyReals = *listAndRecord(252).as<Dictionary>()->find("l")->as<Array>();
  const Change changes[] = {
      {"nothing", written(small), [](const Object&, DictionaryEdit&) {}, small, Kept::kEveryByte},
      {"a number in a record", written(small),
       [](const Object&, DictionaryEdit& top) { top.edit("r")->set("a", 5.0); }, recordChanged,
       Kept::kEveryOffset},
      {"a list appended to", written(small),
       [](const Object& root, DictionaryEdit& top) { top.set("l", appending(root.find("l"), 4)); },
       withList(small, {1.0, 2.0, 3.0, 4.0}), Kept::kNoGarbage},
      {"a list pruned", written(small),
       [](const Object& root, DictionaryEdit& top) {
         ListEdit list(root.find("l"));
         list.keepIf([](const auto& e) { return e.number() != 2.0; });
         top.set("l", std::move(list));
       },
       withList(small, {1.0, 3.0}), Kept::kNoGarbage},
      {"a key added", written(small),
       [](const Object&, DictionaryEdit& top) { top.set("new", "x"); }, keyAdded, Kept::kNoGarbage},
      {"a shared number replaced once", sharedNumber,
       [](const Object&, DictionaryEdit& top) { top.set("a", 2.0); },
       dictOf({{"a", 2.0}, {"b", 1.0}}), Kept::kValues},
      {"a shared record changed once", sharedRecord,
       [](const Object&, DictionaryEdit& top) { top.edit("x")->set("k", 2.0); },
       dictOf({{"x", record(2)}, {"y", record(1)}}), Kept::kValues},
      {"an object nothing refers to", garbage, [](const Object&, DictionaryEdit&) {},
       dictOf({{"a", 1.0}}), Kept::kNoGarbage},
      {"references one byte wider", written(listAndRecord(252)),
       [](const Object& root, DictionaryEdit& top) { top.set("l", appending(root.find("l"), 0)); },
       withList(listAndRecord(252), (manyReals.emplace_back(0.0), manyReals)), Kept::kNoGarbage},
      {"offsets one byte wider", written(dictOf({{"d", Data{Bytes(180, 1)}}})),
       [](const Object&, DictionaryEdit& top) { top.set("e", Data{Bytes(100, 2)}); },
       dictOf({{"d", Data{Bytes(180, 1)}}, {"e", Data{Bytes(100, 2)}}}), Kept::kNoGarbage}};
  for (const Change& c : changes) {
    SCOPED_TRACE(c.name);
    const std::optional<View> view = View::read(c.stored, View::Purpose::kUpdate);
    ASSERT_TRUE(view);
    DictionaryEdit top(view->root());
    c.change(view->root(), top);
    std::optional<Written> copied = writeBinaryPropertyList(&*view, top);
    ASSERT_TRUE(copied);
    const std::optional<Bytes> out = std::move(*copied).bytes();
    EXPECT_EQ(readBinaryPropertyList(*out), c.expected);
    const std::optional<View> again = View::read(*out, View::Purpose::kUpdate);
    ASSERT_TRUE(again);
    EXPECT_EQ(writeBinaryPropertyList(&*again, DictionaryEdit(again->root()))->joined(), out);
    const auto differing = [&] {
      return std::inner_product(out->begin(), out->end(), c.stored.begin(), 0, std::plus<>(),
                                std::not_equal_to<>());
    };
    switch (c.kept) {
      case Kept::kEveryByte:
        EXPECT_EQ(*out, c.stored);
        break;
      case Kept::kEveryOffset:
        ASSERT_EQ(out->size(), c.stored.size());
        EXPECT_LE(differing(), 8);
        break;
      case Kept::kNoGarbage:
        EXPECT_LE(out->size(), written(c.expected).size());
        break;
      case Kept::kValues:
        break;
    }
  }
}

// Round after round of a list growing at one end and pruned at the other, the file stays the
// size of its values written anew.
TEST(BinaryWriter, NeverGrowsFromPrunes) {
  Bytes file = written(listAndRecord(50));
  for (int round = 0; round < 200; ++round) {
    const std::optional<View> view = View::read(file, View::Purpose::kUpdate);
    ASSERT_TRUE(view);
    DictionaryEdit top(view->root());
    ListEdit list = appending(view->root().find("l"), 51.0 + round);
    list.keepIf([round](const auto& e) { return *e.number() > 1.0 + round; });
    top.set("l", std::move(list));
    top.edit("r")->set("a", 1.0 * round);
    file = writeBinaryPropertyList(&*view, top)->joined();
  }
  EXPECT_EQ(file.size(), written(listAndRecord(50)).size());
}

TEST(XmlPropertyList, ReadsEveryElement) {
  const auto elements = listOf<std::string>(
      "<string>  two  </string>", "<string> </string>", "<string/>",
      "<string>&lt;a&amp;&#x1F600;<![CDATA[<b>]]></string>",
      "<string>&apos;&quot;&gt;&#65;&#xe9;\t</string>", "<integer>-9223372036854775808</integer>",
      "<integer>18446744073709551615</integer>", "<integer>+17</integer>",
      "<integer>0xFF</integer>", "<real>-1.25e3</real>", "<real>inf</real>", "<real>-inf</real>",
      "<real>nan</real>", "<true/>", "<false></false>", "<date>2001-01-01T00:00:00Z</date>",
      "<date>2024-02-29T12:34:56Z</date>", "<date>0001-01-01T00:00:00Z</date>",
      "<data>\n\tAAEC\n\t/w==\n</data>", "<data></data>",
      "<dict>\n <key>b</key><integer>1</integer>\n <key>a</key><array><string>x</string><true/>"
      "</array></dict>",
      "<array><array/><dict/></array>");
  const Array expected = listOf<Value>(
      "  two  ", " ", "", "<a&\xF0\x9F\x98\x80<b>", "'\">A\xC3\xA9\t",
      Integer::fromSigned(INT64_MIN), Integer::fromUnsigned(UINT64_MAX), Integer::fromSigned(17),
      Integer::fromSigned(255), -1250.0, kInf, -kInf, std::nan(""), true, false, Date{0},
      Date{730902896}, Date{-63113904000.0}, Data{{0, 1, 2, 255}}, Data{},
      dictOf({{"b", Integer::fromSigned(1)}, {"a", Array{Value("x"), Value(true)}}}),
      Array{Value(Array{}), Value(Dictionary{})});
  ASSERT_EQ(elements.size(), expected.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const auto read = readXmlPropertyList(bytesOf("<plist>\n" + elements[i] + "\n</plist>\n"));
    EXPECT_TRUE(same(read, expected[i])) << elements[i];
  }
}

TEST(XmlPropertyList, RefusesMalformedDocuments) {
  std::string manyKeys;  // more keys than are compared pairwise, one of them twice
  for (const char* key : {"a", "b", "c", "d", "e", "f", "g", "h", "i", "e"}) {
    manyKeys += std::string("<key>") + key + "</key><true/>";
  }
  // Bad content for each element, then bad structure; each inside <plist>.
  const auto bodies = listOf<std::string>(
      "<integer>12abc</integer>", "<integer></integer>", "<integer>18446744073709551616</integer>",
      "<integer>-9223372036854775809</integer>", "<integer>-0x10</integer>",
      "<integer>--1</integer>", "<real>abc</real>", "<real>1.5x</real>", "<real>0x1p3</real>",
      "<real>1e999</real>", "<real></real>", "<string>a<b/></string>", "<string>\xC3</string>",
      "<string>&#0;</string>", "<string>&#xD800;</string>", "<string>&#x110000;</string>",
      "<string>&bogus;</string>", "<string>&amp</string>", "<string>\x01</string>",
      "<data>AA*A</data>", "<data>AAA</data>", "<data>A===</data>", "<data>AA=A</data>",
      "<date>2023-02-29T00:00:00Z</date>", "<date>2001-13-01T00:00:00Z</date>",
      "<date>2001-01-01T24:00:00Z</date>", "<date>2001-01-01 00:00:00Z</date>",
      "<date>2001-01-01T00:00:00</date>", "<date>0000-01-01T00:00:00Z</date>", "<true>yes</true>",
      "", "<true/><false/>", "text<true/>", "<unknown/>", "<key>k</key>",
      "<dict><key>a</key></dict>", "<dict><string>a</string><true/></dict>",
      "<dict><key>a</key><true/><key>a</key><false/></dict>", "<dict>" + manyKeys + "</dict>",
      "<dict><key>a</key><key>b</key><true/></dict>", "<dict><key>\xC3</key><true/></dict>",
      "<array><key>a</key></array>", "<array>loose text</array>", "<array><true/>");
  for (const std::string& body : bodies) {
    EXPECT_FALSE(readXmlPropertyList(bytesOf("<plist>" + body + "</plist>"))) << body;
  }
  // Entities of a document type are refused, not expanded: ten levels of ten references.
  std::string laughs = "<!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\">";
  for (char c = 'b'; c <= 'j'; ++c) {
    laughs += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 10; ++i) laughs += std::string("&") + static_cast<char>(c - 1) + ";";
    laughs += "\">";
  }
  // Whole documents that are not well-formed XML, however harmless what they hold.
  const std::string plist = "<plist><string>a</string></plist>";
  for (const std::string& xml : std::initializer_list<std::string>{
           "",
           "<plist>",
           "<array><true/></array>",
           "<plist><true/></plist><plist/>",
           laughs + "]><plist><string>&j;</string></plist>",
           plist + "x",
           "x" + plist,
           "<![CDATA[x]]>" + plist,
           " <?xml version='1.0'?>" + plist,
           "<?xml encoding='UTF-8'?>" + plist,
           "<?xml version='1.0' standalone='maybe'?>" + plist,
           "<?xml version='1.0' encoding='KOI8-R'?>" + plist,
           "<?xml version='1.0' encoding='UTF-16'?>" + plist,
           "<?xml version='1.0' encoding='US-ASCII'?><plist><string>\xC3\xA9</string></plist>",
           "<plist version='1.0' version='1.0'><string>a</string></plist>",
           "<plist a='<'><string>a</string></plist>",
           "<plist a='&bogus;'><string>a</string></plist>",
           "<plist><string>a]]>b</string></plist>",
           "<plist><string>a<!-- b -- c --></string></plist>",
           "<plist><string>a<!-- b ---></string></plist>",
           plist + "<?XML version='1.0'?>",
           std::string("<plist><string>a\0b</string></plist>"sv),
           plist + std::string("\0x"sv),
           "<plist><string>\xEF\xBF\xBE</string></plist>",
           "<plist><!-- \xEF\xBF\xBF --><true/></plist>",
           "\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?>" + plist}) {
    EXPECT_FALSE(readXmlPropertyList(bytesOf(xml))) << xml;
  }
  // What the same rules allow: a declaration, a document type, comments and processing
  // instructions where XML puts them, Latin-1 and UTF-16 as declared or marked.
  const std::string utf16(
      "\xFF\xFE<\0p\0l\0i\0s\0t\0>\0<\0t\0r\0u\0e\0/\0>\0<\0/\0p\0l\0i\0s\0t\0>\0"sv);
  const std::pair<std::string, Value> wellFormed[] = {
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
       "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<!-- c --><?pi x?>\n" +
           plist + "\n<!-- after -->\n",
       "a"},
      {"<?xml version='1.0' encoding='ISO-8859-1'?><plist><string>\xE9</string></plist>",
       "\xC3\xA9"},
      {"<plist><string>a<!-- b -->c<?pi d?></string></plist>", "ac"},
      {utf16, true}};
  for (const auto& [xml, value] : wellFormed)
    EXPECT_TRUE(same(readXmlPropertyList(bytesOf(xml)), value)) << xml;
}

// Reads on a thread with a 256 KiB stack, as a worker of a host application may have: files
// nested as deep as the readers accept, one level more and 100,000 levels.
TEST(PropertyList, ReadsDeepFilesOnASmallStack) {
  struct Job {
    Bytes files[6] = {
        nestedBinary(kMaxNestingDepth), nestedBinary(kMaxNestingDepth + 1), nestedBinary(100000),
        nestedXml(kMaxNestingDepth),    nestedXml(kMaxNestingDepth + 1),    nestedXml(100000)};
    std::array<bool, 6> read = {false, true, true, false, true, true};  // each the wrong way
  } job;
  auto body = [](void* arg) -> void* {
    auto* j = static_cast<Job*>(arg);
    for (int i = 0; i < 6; ++i) j->read[i] = readPropertyList(j->files[i]).has_value();
    return nullptr;
  };
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  pthread_t thread;
  const bool started = pthread_attr_setstacksize(&attr, 256 * 1024) == 0 &&
                       pthread_create(&thread, &attr, body, &job) == 0;
  pthread_attr_destroy(&attr);
  ASSERT_TRUE(started);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  EXPECT_EQ(job.read, (std::array<bool, 6>{true, false, false, true, false, false}));
}

// plistlib writes generated property lists, binary and XML; plist_rewrite reads each with our
// reader and writes it back with our writer; plistlib must read back the value it wrote.
TEST(PropertyList, AgreesWithPlistlibOnGeneratedFiles) {
  const testing::TempAppGroup scratch;  // a throwaway directory, removed with all it holds
  const auto result =
      testing::runCommand(std::string(ORVO_PYTHON3) + " " + ORVO_TEST_DATA_DIR +
                          "/plist_roundtrip.py '" + ORVO_EMULATOR + " " + ORVO_PLIST_REWRITE +
                          "' " + scratch.dataHome().string() + " 400 2024 2>&1");
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("compared 400, mismatches 0"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace orvo::plist
