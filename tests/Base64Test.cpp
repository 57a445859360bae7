// The two decoders and the encoder of the payload cipher.
#include <gtest/gtest.h>

#include <random>

#include "cipher/Base64.h"

namespace orvo {
namespace {

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// RFC 4648, section 10.
struct Vector {
  std::string_view plain;
  std::string_view encoded;
};
constexpr Vector kVectors[] = {{"", ""},
                               {"f", "Zg=="},
                               {"fo", "Zm8="},
                               {"foo", "Zm9v"},
                               {"foob", "Zm9vYg=="},
                               {"fooba", "Zm9vYmE="},
                               {"foobar", "Zm9vYmFy"}};

TEST(Base64, EncodesAndDecodesTheStandardVectors) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.encoded);
    EXPECT_EQ(base64::encode(bytes(v.plain)), v.encoded);
    EXPECT_EQ(base64::decodeStrict(v.encoded), bytes(v.plain));
    EXPECT_EQ(base64::decodeLenient(v.encoded), bytes(v.plain));
  }
}

TEST(Base64, RoundTripsEveryByteValueAtEveryLengthOnOneLine) {
  std::mt19937 random(7);
  for (std::size_t length = 0; length < 300; ++length) {
    Bytes data(length);
    for (std::uint8_t& b : data) b = static_cast<std::uint8_t>(random());
    const std::string encoded = base64::encode(data);
    ASSERT_EQ(encoded.size(), (length + 2) / 3 * 4);
    ASSERT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
    ASSERT_EQ(base64::decodeStrict(encoded), data) << length;
    ASSERT_EQ(base64::decodeLenient(encoded), data) << length;
  }
}

struct DecodeCase {
  const char* name;
  std::string_view text;
  std::optional<std::string_view> strict;   // none: refused
  std::optional<std::string_view> lenient;  // none: refused
};

class Base64Decoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Base64Decoding, StrictRefusesWhatLenientSkips) {
  const DecodeCase& c = GetParam();
  const auto expected = [](std::optional<std::string_view> s) {
    return s ? std::optional<Bytes>(bytes(*s)) : std::nullopt;
  };
  EXPECT_EQ(base64::decodeStrict(c.text), expected(c.strict));
  EXPECT_EQ(base64::decodeLenient(c.text), expected(c.lenient));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Base64Decoding,
    ::testing::Values(DecodeCase{"LineFeeds", "Zm9v\nYmFy\n", std::nullopt, "foobar"},
                      DecodeCase{"CrLf", "Zm9v\r\nYg==\r\n", std::nullopt, "foob"},
                      DecodeCase{"Blank", "Zm9v YmFy", std::nullopt, "foobar"},
                      DecodeCase{"Tab", "Zm9v\tYmFy", std::nullopt, "foobar"},
                      DecodeCase{"BreakInsidePadding", "Zg=\n=", std::nullopt, "f"},
                      DecodeCase{"DashesAndLetters", "-----Zm9v-----", std::nullopt, "foo"},
                      DecodeCase{"UrlAlphabet", "-_-_", std::nullopt, ""},
                      DecodeCase{"NonAscii", "Zm9v\xC3\xA9", std::nullopt, "foo"},
                      DecodeCase{"MissingPadding", "Zg", std::nullopt, std::nullopt},
                      DecodeCase{"ShortPadding", "Zg=", std::nullopt, std::nullopt},
                      DecodeCase{"ExtraPadding", "Zm8==", std::nullopt, std::nullopt},
                      DecodeCase{"ThreePads", "Z===", std::nullopt, std::nullopt},
                      DecodeCase{"OnlyPadding", "====", std::nullopt, std::nullopt},
                      DecodeCase{"LoneSymbol", "Zm9vY", std::nullopt, std::nullopt},
                      DecodeCase{"DataAfterPadding", "Zg==Zg==", std::nullopt, std::nullopt},
                      DecodeCase{"NoSymbolsAtAll", "\r\n \t", std::nullopt, ""},
                      DecodeCase{"UnusedBitsSet", "Zh==", "f", "f"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvo
