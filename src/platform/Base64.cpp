#include "platform/Base64.h"

#include <array>

namespace orvo::base64 {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr std::int8_t kNotInAlphabet = -1;

constexpr std::array<std::int8_t, 256> makeValues() {
  std::array<std::int8_t, 256> values{};
  values.fill(kNotInAlphabet);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  }
  return values;
}
constexpr std::array<std::int8_t, 256> kValues = makeValues();

enum class Skip { kNothing, kWhitespace, kUnknown };

bool skipped(char c, Skip skip) {
  return skip == Skip::kUnknown ||
         (skip == Skip::kWhitespace && (c == ' ' || c == '\t' || c == '\r' || c == '\n'));
}

std::optional<Bytes> decode(std::string_view text, Skip skip) {
  Bytes out;
  out.reserve(text.size() / 4 * 3 + 3);
  std::uint32_t group = 0;  // the bits of the sextets read since the last whole byte
  int bitCount = 0;
  std::size_t symbols = 0;
  std::size_t padding = 0;
  for (const char c : text) {
    if (c == kPad) {
      ++padding;
      continue;
    }
    const std::int8_t value = kValues[static_cast<unsigned char>(c)];
    if (value == kNotInAlphabet) {
      if (skipped(c, skip)) continue;
      return std::nullopt;
    }
    if (padding != 0) return std::nullopt;
    ++symbols;
    group = (group << 6) | static_cast<std::uint32_t>(value);
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      out.push_back(static_cast<std::uint8_t>(group >> bitCount));
      group &= (1u << bitCount) - 1;
    }
  }
  // A lone symbol in the last quantum carries no whole byte; the padding must complete it.
  if (symbols % 4 == 1 || padding > 2 || (symbols + padding) % 4 != 0) return std::nullopt;
  return out;
}

}  // namespace

std::string encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  const std::size_t left = bytes.size() - i;
  if (left != 0) {
    const std::uint32_t group =
        (std::uint32_t{bytes[i]} << 16) | (left == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0);
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += left == 2 ? kAlphabet[(group >> 6) & 63] : kPad;
    out += kPad;
  }
  return out;
}

std::optional<Bytes> decodeStrict(std::string_view text) { return decode(text, Skip::kNothing); }

std::optional<Bytes> decodeSkippingWhitespace(std::string_view text) {
  return decode(text, Skip::kWhitespace);
}

std::optional<Bytes> decodeLenient(std::string_view text) { return decode(text, Skip::kUnknown); }

}  // namespace orvo::base64
