// The binary property-list format shared by its reader and writer: "bplist00", the objects, a
// table of their offsets and a 32-byte trailer that locates the table. Numbers are big-endian;
// containers hold references, which are indexes into the offset table, so one object may be
// referenced from many places.
#ifndef ORVO_PLATFORM_PLIST_BINARYFORMAT_H_
#define ORVO_PLATFORM_PLIST_BINARYFORMAT_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace orvo::plist::binary {

inline constexpr std::string_view kMagic = "bplist00";
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kTrailerSize = 32;

inline constexpr std::uint8_t kFalse = 0x08;
inline constexpr std::uint8_t kTrue = 0x09;
inline constexpr std::uint8_t kInt = 0x10;
inline constexpr std::uint8_t kReal32 = 0x22;
inline constexpr std::uint8_t kReal64 = 0x23;
inline constexpr std::uint8_t kDate = 0x33;
inline constexpr std::uint8_t kData = 0x40;
inline constexpr std::uint8_t kAscii = 0x50;
inline constexpr std::uint8_t kUtf16 = 0x60;
inline constexpr std::uint8_t kUid = 0x80;
inline constexpr std::uint8_t kArray = 0xA0;
inline constexpr std::uint8_t kDict = 0xD0;
inline constexpr std::uint8_t kLengthFollows = 0x0F;

// Kinds of object by the high half of their marker.
inline constexpr std::uint8_t kDataKind = 0x4;
inline constexpr std::uint8_t kAsciiKind = 0x5;
inline constexpr std::uint8_t kUtf16Kind = 0x6;
inline constexpr std::uint8_t kArrayKind = 0xA;
inline constexpr std::uint8_t kDictKind = 0xD;
inline constexpr bool isStringMarker(std::uint8_t marker) {
  return (marker >> 4) == kAsciiKind || (marker >> 4) == kUtf16Kind;
}
inline constexpr bool isContainerMarker(std::uint8_t marker) {
  return (marker >> 4) == kArrayKind || (marker >> 4) == kDictKind;
}

// Shared references let a few hundred bytes describe millions of values, so the reader counts
// what the values add up to with every shared one counted at each use. Without shared containers
// every value but the root costs a reference of at least one byte, so a file never holds more
// values than bytes; the floor leaves room for files that do share a container. Strings and data
// are counted apart, in bytes.
inline constexpr std::size_t kMinValueBudget = std::size_t{1} << 20;
inline constexpr std::size_t kMinPayloadBudget = std::size_t{64} << 20;
inline constexpr std::size_t kPayloadBudgetPerFileByte = 64;
// The writer shares strings only up to this length, which keeps its own output inside the
// payload budget: each extra use of a shared string costs at least one reference byte.
inline constexpr std::size_t kMaxSharedStringBytes = 48;
static_assert(kMaxSharedStringBytes + 2 <= kPayloadBudgetPerFileByte);

[[gnu::always_inline]] inline std::uint64_t loadBig(const std::uint8_t* p, unsigned width) {
  if constexpr (std::endian::native == std::endian::little) {
    switch (width) {
      case 1:
        return p[0];
      case 2:
        return static_cast<std::uint64_t>(p[0]) << 8 | p[1];
      case 4: {
        std::uint32_t v = 0;
        std::memcpy(&v, p, 4);
        return __builtin_bswap32(v);
      }
      case 8: {
        std::uint64_t v = 0;
        std::memcpy(&v, p, 8);
        return __builtin_bswap64(v);
      }
      default:
        break;
    }
  }
  std::uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) v = v << 8 | p[i];
  return v;
}

[[gnu::always_inline]] inline void storeBig(std::uint8_t* p, std::uint64_t v, unsigned width) {
  if constexpr (std::endian::native == std::endian::little) {
    switch (width) {
      case 1:
        p[0] = static_cast<std::uint8_t>(v);
        return;
      case 2:
        p[0] = static_cast<std::uint8_t>(v >> 8);
        p[1] = static_cast<std::uint8_t>(v);
        return;
      case 4: {
        const std::uint32_t be = __builtin_bswap32(static_cast<std::uint32_t>(v));
        std::memcpy(p, &be, 4);
        return;
      }
      case 8: {
        const std::uint64_t be = __builtin_bswap64(v);
        std::memcpy(p, &be, 8);
        return;
      }
      default:
        break;
    }
  }
  for (unsigned i = width; i-- > 0; v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

// A big-endian number of 1 to 8 bytes, `shift` being 64 less 8 bits a byte, read as eight bytes
// without a branch on its width: for references and offsets of a checked file, where the
// offset table and the trailer always follow.
[[gnu::always_inline]] inline std::uint64_t loadBigPadded(const std::uint8_t* p, unsigned shift) {
  std::uint64_t v = 0;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v >> shift;
}

// The length of a string, data or container object: in the low bits of its marker or, from 15
// on, in the integer that follows it. `p` is just past the marker and moves past the header;
// false when that integer is malformed or runs past `end`.
inline bool readLength(const std::uint8_t*& p, const std::uint8_t* end, std::uint8_t marker,
                       std::uint64_t& length) {
  if ((marker & 0x0F) != kLengthFollows) {
    length = marker & 0x0F;
    return true;
  }
  if (p == end) return false;
  const std::uint8_t intMarker = *p++;
  if ((intMarker & 0xF0) != kInt || (intMarker & 0x0F) > 3) return false;
  const unsigned width = 1u << (intMarker & 0x0F);
  if (static_cast<std::size_t>(end - p) < width) return false;
  length = loadBig(p, width);
  p += width;
  return true;
}

// Width of the smallest of the sizes 1, 2, 4 and 8 that holds n.
inline unsigned widthFor(std::uint64_t n) {
  if (n < (std::uint64_t{1} << 8)) return 1;
  if (n < (std::uint64_t{1} << 16)) return 2;
  if (n < (std::uint64_t{1} << 32)) return 4;
  return 8;
}

// Bytes of a marker that carries a length: one below 15, else an integer marker and the integer.
inline std::uint64_t headerBytes(std::uint64_t length) {
  return length < kLengthFollows ? 1 : 2 + widthFor(length);
}

// Writes a marker that carries a length, and that length when it does not fit the marker.
inline std::uint8_t* putHeader(std::uint8_t* p, std::uint8_t marker, std::uint64_t length) {
  if (length < kLengthFollows) {
    *p++ = static_cast<std::uint8_t>(marker | length);
    return p;
  }
  *p++ = marker | kLengthFollows;
  const unsigned width = widthFor(length);
  *p++ = static_cast<std::uint8_t>(kInt | std::countr_zero(width));
  storeBig(p, length, width);
  return p + width;
}

}  // namespace orvo::plist::binary

#endif  // ORVO_PLATFORM_PLIST_BINARYFORMAT_H_
