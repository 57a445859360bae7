#include "platform/Utf8.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>

namespace orvo {
namespace {

struct WideEncoding {
  std::size_t unit;  // 2 or 4 bytes
  bool bigEndian;
  std::size_t markLength;
};

std::optional<WideEncoding> wideEncodingOf(const std::vector<std::uint8_t>& b) {
  const auto startsWith = [&](std::initializer_list<std::uint8_t> prefix) {
    return b.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b.begin());
  };
  if (startsWith({0x00, 0x00, 0xFE, 0xFF})) return WideEncoding{4, true, 4};
  if (startsWith({0xFF, 0xFE, 0x00, 0x00})) return WideEncoding{4, false, 4};
  if (startsWith({0xFE, 0xFF})) return WideEncoding{2, true, 2};
  if (startsWith({0xFF, 0xFE})) return WideEncoding{2, false, 2};
  if (b.size() < 4) return std::nullopt;
  const bool z0 = b[0] == 0, z1 = b[1] == 0, z2 = b[2] == 0, z3 = b[3] == 0;
  if (z0 && z1 && z2 && !z3) return WideEncoding{4, true, 0};
  if (!z0 && z1 && z2 && z3) return WideEncoding{4, false, 0};
  if (z0 && !z1 && z2 && !z3) return WideEncoding{2, true, 0};
  if (!z0 && z1 && !z2 && z3) return WideEncoding{2, false, 0};
  return std::nullopt;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const std::uint8_t b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    int extra = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      if (b == 0xE0) lo = 0xA0;  // overlong
      if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      if (b == 0xF0) lo = 0x90;  // overlong
      if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int i = 2; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += extra + 1;
  }
  return true;
}

std::string_view withoutLeading(std::string_view text, std::string_view set) {
  const std::size_t start = text.find_first_not_of(set);
  return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

std::string_view withoutTrailing(std::string_view text, std::string_view set) {
  const std::size_t last = text.find_last_not_of(set);
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

void appendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
    return;
  }
  static constexpr std::uint8_t kLead[] = {0, 0xC0, 0xE0, 0xF0};
  const int extra = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  out.push_back(static_cast<char>(kLead[extra] | (c >> (6 * extra))));
  for (int i = extra - 1; i >= 0; --i) {
    out.push_back(static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F)));
  }
}

bool appendUtf16AsUtf8(const std::uint8_t* p, std::size_t units, bool bigEndian, std::string& out) {
  const auto unitAt = [p, bigEndian](std::size_t i) {
    const std::uint8_t* u = p + 2 * i;
    return bigEndian ? std::uint32_t{u[0]} << 8 | u[1] : std::uint32_t{u[1]} << 8 | u[0];
  };
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t c = unitAt(i);
    if (c >= 0xD800 && c <= 0xDFFF) {
      const std::uint32_t low = i + 1 < units ? unitAt(i + 1) : 0;
      if (c > 0xDBFF || low < 0xDC00 || low > 0xDFFF) return false;  // a lone surrogate
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    appendUtf8(out, c);
  }
  return true;
}

std::optional<std::size_t> utf8SizeOfUtf16(const std::uint8_t* p, std::size_t units) {
  std::size_t size = 0;
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint32_t c = std::uint32_t{p[2 * i]} << 8 | p[2 * i + 1];
    if (c < 0x80) {
      size += 1;
    } else if (c < 0x800) {
      size += 2;
    } else if (c < 0xD800 || c > 0xDFFF) {
      size += 3;
    } else {
      if (c > 0xDBFF || i + 1 == units) return std::nullopt;
      const std::uint32_t low = std::uint32_t{p[2 * i + 2]} << 8 | p[2 * i + 3];
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      ++i;
      size += 4;
    }
  }
  return size;
}

std::uint64_t utf16UnitsOf(std::string_view utf8) {
  std::uint64_t units = 0;
  for (const char c : utf8) {
    const auto b = static_cast<std::uint8_t>(c);
    units += ((b & 0xC0) != 0x80) + (b >= 0xF0);  // lead bytes; four-byte forms need two
  }
  return units;
}

std::uint8_t* putUtf16BigEndian(std::uint8_t* p, std::string_view utf8) {
  const auto put = [&p](std::uint32_t unit) {
    *p++ = static_cast<std::uint8_t>(unit >> 8);
    *p++ = static_cast<std::uint8_t>(unit);
  };
  const auto* s = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const std::uint8_t* const end = s + utf8.size();
  while (s != end) {
    std::uint32_t c = *s;
    if (c < 0x80) {
      ++s;
    } else if (c < 0xE0) {
      c = (c & 0x1F) << 6 | (s[1] & 0x3F);
      s += 2;
    } else if (c < 0xF0) {
      c = (c & 0x0F) << 12 | (s[1] & 0x3F) << 6 | (s[2] & 0x3F);
      s += 3;
    } else {
      c = ((c & 0x07) << 18 | (s[1] & 0x3F) << 12 | (s[2] & 0x3F) << 6 | (s[3] & 0x3F)) - 0x10000;
      s += 4;
      put(0xD800 | c >> 10);
      c = 0xDC00 | (c & 0x3FF);
    }
    put(c);
  }
  return p;
}

std::optional<std::size_t> unicodeTextToUtf8(std::vector<std::uint8_t>& bytes) {
  const std::optional<WideEncoding> encoding = wideEncodingOf(bytes);
  if (!encoding) return 1;
  const auto [unit, bigEndian, start] = *encoding;
  if ((bytes.size() - start) % unit != 0) return std::nullopt;
  const std::size_t units = (bytes.size() - start) / unit;
  const std::uint8_t* p = bytes.data() + start;
  std::string utf8;
  utf8.reserve(bytes.size());
  if (unit == 2) {
    if (!appendUtf16AsUtf8(p, units, bigEndian, utf8)) return std::nullopt;
  } else {
    for (std::size_t i = 0; i < units; ++i, p += 4) {
      std::uint32_t c = 0;
      for (int k = 0; k < 4; ++k) c = c << 8 | p[bigEndian ? k : 3 - k];
      if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return std::nullopt;
      appendUtf8(utf8, c);
    }
  }
  bytes.assign(utf8.begin(), utf8.end());
  return unit;
}

}  // namespace orvo
