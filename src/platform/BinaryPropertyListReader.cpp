// The strict reader of the binary format: every offset, length, reference and string encoding
// is checked, cycles and nesting past the limit refused, and what shared references expand to
// is counted against a budget.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/BinaryFormat.h"
#include "platform/PropertyList.h"

namespace orvo::plist {
namespace {

using namespace binary;

// Big-endian UTF-16 to UTF-8; false on an unpaired surrogate.
bool utf16ToUtf8(const std::uint8_t* p, std::size_t units, std::string& out) {
  out.resize(units * 3);
  char* o = out.data();
  auto put = [&o](unsigned v) { *o++ = static_cast<char>(v); };
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t c = static_cast<std::uint32_t>(p[2 * i]) << 8 | p[2 * i + 1];
    if (c < 0x80) {
      put(c);
    } else if (c < 0x800) {
      put(0xC0 | c >> 6);
      put(0x80 | (c & 0x3F));
    } else if (c < 0xD800 || c > 0xDFFF) {
      put(0xE0 | c >> 12);
      put(0x80 | (c >> 6 & 0x3F));
      put(0x80 | (c & 0x3F));
    } else {
      if (c > 0xDBFF || i + 1 == units) return false;
      const std::uint32_t low = static_cast<std::uint32_t>(p[2 * i + 2]) << 8 | p[2 * i + 3];
      if (low < 0xDC00 || low > 0xDFFF) return false;
      ++i;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      put(0xF0 | c >> 18);
      put(0x80 | (c >> 12 & 0x3F));
      put(0x80 | (c >> 6 & 0x3F));
      put(0x80 | (c & 0x3F));
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return true;
}

// Whether every offset of the table points into the objects, the whole table in one pass.
template <unsigned kWidth>
bool offsetsInRange(const std::uint8_t* table, std::uint64_t count, std::uint64_t end) {
  bool bad = false;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t offset = loadBig(table + i * kWidth, kWidth);
    bad |= offset < kHeaderSize || offset >= end;
  }
  return !bad;
}

class BinaryReader {
 public:
  explicit BinaryReader(std::span<const std::uint8_t> bytes)
      : begin_(bytes.data()), size_(bytes.size()) {}

  std::optional<Value> read();

 private:
  enum class Outcome { kFailed, kScalar, kContainer };

  // What readObject found when the object is a container.
  struct Opening {
    std::uint64_t ref = 0;
    const std::uint8_t* refs = nullptr;
    std::size_t count = 0;
    bool isDict = false;
  };

  // A container being filled. Children are read in order, with a frame of their own when they
  // are containers, so the depth of the input never reaches the call stack.
  struct Frame {
    std::uint64_t ref = 0;
    const std::uint8_t* refs = nullptr;  // dictionaries: all keys, then all values
    std::size_t count = 0;
    std::size_t next = 0;
    bool isDict = false;
    Array array;
    Dictionary dict;
    std::string key;  // of the child container being read
  };

  bool readTrailer();
  bool readLength(const std::uint8_t*& p, std::uint8_t marker, std::uint64_t& length) const;
  bool charge(std::size_t& used, std::size_t budget, std::uint64_t amount) const {
    if (amount > budget - used) return false;
    used += static_cast<std::size_t>(amount);
    return true;
  }
  bool push(const Opening& opening);
  // The first byte of object `ref`, or null when there is no such object.
  const std::uint8_t* objectAt(std::uint64_t ref) const {
    if (ref >= objectCount_) return nullptr;
    return begin_ + loadBig(offsetTable_ + ref * offsetSize_, offsetSize_);
  }
  template <typename Sink>
  Outcome readObject(std::uint64_t ref, Sink&& sink, Opening& opening);

  const std::uint8_t* const begin_;
  const std::size_t size_;
  const std::uint8_t* objectsEnd_ = nullptr;  // where the offset table starts
  const std::uint8_t* offsetTable_ = nullptr;
  unsigned offsetSize_ = 0;
  unsigned refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t topObject_ = 0;
  std::size_t values_ = 0;
  std::size_t valueBudget_ = 0;
  std::size_t payload_ = 0;
  std::size_t payloadBudget_ = 0;
  std::vector<std::uint8_t> onPath_;  // per object: an open container, so a ref to it is a cycle
  std::vector<Frame> frames_;
};

bool BinaryReader::readTrailer() {
  // Header, one object byte, one offset byte, trailer.
  if (size_ < kHeaderSize + 2 + kTrailerSize ||
      std::memcmp(begin_, kMagic.data(), kMagic.size()) != 0) {
    return false;
  }
  const std::uint8_t* trailer = begin_ + size_ - kTrailerSize;
  offsetSize_ = trailer[6];
  refSize_ = trailer[7];
  objectCount_ = loadBig(trailer + 8, 8);
  topObject_ = loadBig(trailer + 16, 8);
  const std::uint64_t tableOffset = loadBig(trailer + 24, 8);
  if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
  if (objectCount_ == 0 || topObject_ >= objectCount_) return false;
  const std::uint64_t tableLimit = size_ - kTrailerSize;
  if (tableOffset <= kHeaderSize || tableOffset > tableLimit) return false;
  if (objectCount_ > (tableLimit - tableOffset) / offsetSize_) return false;
  objectsEnd_ = begin_ + tableOffset;
  offsetTable_ = objectsEnd_;
  switch (offsetSize_) {
    case 1:
      if (!offsetsInRange<1>(offsetTable_, objectCount_, tableOffset)) return false;
      break;
    case 2:
      if (!offsetsInRange<2>(offsetTable_, objectCount_, tableOffset)) return false;
      break;
    case 4:
      if (!offsetsInRange<4>(offsetTable_, objectCount_, tableOffset)) return false;
      break;
    default:
      for (std::uint64_t i = 0; i < objectCount_; ++i) {
        const std::uint64_t offset = loadBig(offsetTable_ + i * offsetSize_, offsetSize_);
        if (offset < kHeaderSize || offset >= tableOffset) return false;
      }
  }
  valueBudget_ = std::max(kMinValueBudget, size_);
  payloadBudget_ = size_ > kMinPayloadBudget / kPayloadBudgetPerFileByte
                       ? size_ * kPayloadBudgetPerFileByte
                       : kMinPayloadBudget;
  return true;
}

bool BinaryReader::readLength(const std::uint8_t*& p, std::uint8_t marker,
                              std::uint64_t& length) const {
  if ((marker & 0x0F) != kLengthFollows) {
    length = marker & 0x0F;
    return true;
  }
  if (p == objectsEnd_) return false;
  const std::uint8_t intMarker = *p++;
  if ((intMarker & 0xF0) != kInt || (intMarker & 0x0F) > 3) return false;
  const unsigned width = 1u << (intMarker & 0x0F);
  if (static_cast<std::size_t>(objectsEnd_ - p) < width) return false;
  length = loadBig(p, width);
  p += width;
  return true;
}

bool BinaryReader::push(const Opening& opening) {
  if (frames_.size() >= kMaxNestingDepth || onPath_[opening.ref] != 0) return false;
  if (!charge(values_, valueBudget_, opening.isDict ? 2 * opening.count : opening.count)) {
    return false;
  }
  onPath_[opening.ref] = 1;
  Frame& frame = frames_.emplace_back();
  frame.ref = opening.ref;
  frame.refs = opening.refs;
  frame.count = opening.count;
  frame.isDict = opening.isDict;
  if (opening.isDict) {
    frame.dict.reserve(opening.count);
  } else {
    // Room for the one entry an update appends (an event, an interstitial), which would
    // otherwise move the whole list.
    frame.array.reserve(opening.count + 1);
  }
  return true;
}

// Hands a scalar to `sink` as its own type, or describes a container in `opening`.
template <typename Sink>
BinaryReader::Outcome BinaryReader::readObject(std::uint64_t ref, Sink&& sink, Opening& opening) {
  const std::uint8_t* p = objectAt(ref);
  if (p == nullptr) return Outcome::kFailed;
  const std::uint8_t marker = *p++;
  const std::size_t left = static_cast<std::size_t>(objectsEnd_ - p);
  const unsigned low = marker & 0x0F;
  std::uint64_t length = 0;
  switch (marker >> 4) {
    case 0x0:
      // 0x00 (null) and 0x0F (fill) are markers no property list value maps to.
      if (marker == kFalse || marker == kTrue) {
        sink(marker == kTrue);
        return Outcome::kScalar;
      }
      return Outcome::kFailed;
    case 0x1: {
      if (low > 4 || left < (std::size_t{1} << low)) return Outcome::kFailed;
      if (low == 4) {
        // Sixteen bytes, signed: only the part of it that fits -2^63..2^64-1.
        const std::uint64_t high = loadBig(p, 8);
        const std::uint64_t bits = loadBig(p + 8, 8);
        if (high == 0) {
          sink(Integer::fromUnsigned(bits));
        } else if (high == ~std::uint64_t{0} && bits >= (std::uint64_t{1} << 63)) {
          sink(Integer::fromSigned(static_cast<std::int64_t>(bits)));
        } else {
          return Outcome::kFailed;
        }
      } else {
        // One, two and four bytes are unsigned, eight are signed.
        sink(Integer::fromSigned(static_cast<std::int64_t>(loadBig(p, 1u << low))));
      }
      return Outcome::kScalar;
    }
    case 0x2:
      if (marker == kReal64 && left >= 8) {
        sink(std::bit_cast<double>(loadBig(p, 8)));
      } else if (marker == kReal32 && left >= 4) {
        sink(static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(loadBig(p, 4)))));
      } else {
        return Outcome::kFailed;
      }
      return Outcome::kScalar;
    case 0x3:
      if (marker != kDate || left < 8) return Outcome::kFailed;
      sink(Date{std::bit_cast<double>(loadBig(p, 8))});
      return Outcome::kScalar;
    case 0x4:
      if (!readLength(p, marker, length) || length > static_cast<std::size_t>(objectsEnd_ - p) ||
          !charge(payload_, payloadBudget_, length)) {
        return Outcome::kFailed;
      }
      sink(Data{std::vector<std::uint8_t>(p, p + length)});
      return Outcome::kScalar;
    case 0x5: {
      if (!readLength(p, marker, length) || length > static_cast<std::size_t>(objectsEnd_ - p) ||
          !charge(payload_, payloadBudget_, length)) {
        return Outcome::kFailed;
      }
      std::uint8_t any = 0;
      for (std::size_t i = 0; i < length; ++i) any |= p[i];
      if (any >= 0x80) return Outcome::kFailed;
      sink(std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length)));
      return Outcome::kScalar;
    }
    case 0x6: {
      if (!readLength(p, marker, length) ||
          length > static_cast<std::size_t>(objectsEnd_ - p) / 2 ||
          !charge(payload_, payloadBudget_, 2 * length)) {
        return Outcome::kFailed;
      }
      std::string text;
      if (!utf16ToUtf8(p, static_cast<std::size_t>(length), text) ||
          !charge(payload_, payloadBudget_, text.size() - std::min(text.size(), 2 * length))) {
        return Outcome::kFailed;
      }
      sink(std::move(text));
      return Outcome::kScalar;
    }
    case 0x8:
      if ((low != 0 && low != 1 && low != 3 && low != 7) || left < low + 1) {
        return Outcome::kFailed;
      }
      sink(Uid{loadBig(p, low + 1)});
      return Outcome::kScalar;
    case 0xA:
    case 0xD: {
      const bool isDict = (marker & 0xF0) == kDict;
      if (!readLength(p, marker, length) ||
          length > static_cast<std::size_t>(objectsEnd_ - p) / (isDict ? 2 * refSize_ : refSize_)) {
        return Outcome::kFailed;
      }
      opening = Opening{ref, p, static_cast<std::size_t>(length), isDict};
      return Outcome::kContainer;
    }
    default:
      return Outcome::kFailed;
  }
}

std::optional<Value> BinaryReader::read() {
  if (!readTrailer()) return std::nullopt;
  onPath_.assign(static_cast<std::size_t>(objectCount_), 0);
  values_ = 1;

  Opening opening;
  std::optional<Value> root;
  switch (readObject(
      topObject_, [&root](auto&& v) { root.emplace(std::forward<decltype(v)>(v)); }, opening)) {
    case Outcome::kFailed:
      return std::nullopt;
    case Outcome::kScalar:
      return root;
    case Outcome::kContainer:
      break;
  }
  frames_.reserve(16);
  if (!push(opening)) return std::nullopt;

  while (true) {
    Frame& frame = frames_.back();
    if (frame.next == frame.count) {
      if (frame.isDict && frame.dict.hasDuplicateKeys()) return std::nullopt;
      Value done = frame.isDict ? Value(std::move(frame.dict)) : Value(std::move(frame.array));
      onPath_[frame.ref] = 0;
      frames_.pop_back();
      if (frames_.empty()) return done;
      Frame& parent = frames_.back();
      if (parent.isDict) {
        parent.dict.append(std::move(parent.key), std::move(done));
      } else {
        parent.array.push_back(std::move(done));
      }
      continue;
    }

    // After a push `frame` may have moved, so each branch stops there.
    if (!frame.isDict) {
      Array& array = frame.array;
      auto sink = [&array](auto&& v) { array.emplace_back(std::forward<decltype(v)>(v)); };
      while (frame.next < frame.count) {
        const std::uint64_t child = loadBig(frame.refs + frame.next * refSize_, refSize_);
        ++frame.next;
        // Arrays of reals are most of a registry; they skip the general dispatch.
        const std::uint8_t* object = objectAt(child);
        if (object != nullptr && *object == kReal64 && objectsEnd_ - object > 8) {
          array.emplace_back(std::bit_cast<double>(loadBig(object + 1, 8)));
          continue;
        }
        const Outcome outcome = readObject(child, sink, opening);
        if (outcome == Outcome::kFailed) return std::nullopt;
        if (outcome == Outcome::kContainer) {
          if (!push(opening)) return std::nullopt;
          break;
        }
      }
      continue;
    }

    while (frame.next < frame.count) {
      const std::uint8_t* keyRef = frame.refs + frame.next * refSize_;
      const std::uint8_t* valueRef = keyRef + frame.count * refSize_;
      ++frame.next;
      std::string key;
      bool isString = false;
      auto keySink = [&key, &isString](auto&& v) {
        if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>) {
          key = std::forward<decltype(v)>(v);
          isString = true;
        }
      };
      if (readObject(loadBig(keyRef, refSize_), keySink, opening) != Outcome::kScalar ||
          !isString) {
        return std::nullopt;
      }
      Dictionary& dict = frame.dict;
      auto sink = [&dict, &key](auto&& v) {
        dict.append(std::move(key), Value(std::forward<decltype(v)>(v)));
      };
      const Outcome outcome = readObject(loadBig(valueRef, refSize_), sink, opening);
      if (outcome == Outcome::kFailed) return std::nullopt;
      if (outcome == Outcome::kContainer) {
        frame.key = std::move(key);
        if (!push(opening)) return std::nullopt;
        break;
      }
    }
  }
}

}  // namespace

std::optional<Value> readBinaryPropertyList(std::span<const std::uint8_t> bytes) {
  return BinaryReader(bytes).read();
}

}  // namespace orvo::plist
