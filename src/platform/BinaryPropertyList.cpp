// The binary format: "bplist00", the objects, a table of their offsets and a 32-byte trailer
// that locates the table. Numbers are big-endian; containers hold references, which are
// indexes into the offset table, so one object may be referenced from many places.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/PropertyList.h"
#include "platform/Utf8.h"

namespace orvo::plist {
namespace {

constexpr std::string_view kMagic = "bplist00";
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;

constexpr std::uint8_t kFalse = 0x08;
constexpr std::uint8_t kTrue = 0x09;
constexpr std::uint8_t kInt = 0x10;
constexpr std::uint8_t kReal32 = 0x22;
constexpr std::uint8_t kReal64 = 0x23;
constexpr std::uint8_t kDate = 0x33;
constexpr std::uint8_t kData = 0x40;
constexpr std::uint8_t kAscii = 0x50;
constexpr std::uint8_t kUtf16 = 0x60;
constexpr std::uint8_t kUid = 0x80;
constexpr std::uint8_t kArray = 0xA0;
constexpr std::uint8_t kDict = 0xD0;
constexpr std::uint8_t kLengthFollows = 0x0F;

// Shared references let a few hundred bytes describe millions of values, so the reader counts
// what it materialises. Without shared containers every value but the root costs a reference
// of at least one byte, so a file never holds more values than bytes; the floor leaves room
// for files that do share a container. Strings and data are counted apart, in bytes.
constexpr std::size_t kMinValueBudget = std::size_t{1} << 20;
constexpr std::size_t kMinPayloadBudget = std::size_t{64} << 20;
constexpr std::size_t kPayloadBudgetPerFileByte = 64;
// The writer shares strings only up to this length, which keeps its own output inside the
// payload budget: each extra use of a shared string costs at least one reference byte.
constexpr std::size_t kMaxSharedStringBytes = 48;
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

// Width of the smallest of the sizes 1, 2, 4 and 8 that holds n.
unsigned widthFor(std::uint64_t n) {
  if (n < (std::uint64_t{1} << 8)) return 1;
  if (n < (std::uint64_t{1} << 16)) return 2;
  if (n < (std::uint64_t{1} << 32)) return 4;
  return 8;
}

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

// UTF-16 units of valid UTF-8: one per character, two for those past the BMP.
std::uint64_t utf16Units(std::string_view text) {
  std::uint64_t units = 0;
  for (const char c : text) {
    const auto b = static_cast<std::uint8_t>(c);
    units += ((b & 0xC0) != 0x80) + (b >= 0xF0);
  }
  return units;
}

class BinaryWriter {
 public:
  std::optional<std::vector<std::uint8_t>> write(const Value& root);

 private:
  enum class Kind : std::uint8_t {
    kAscii,
    kUtf16,
    kReal,
    kInteger,
    kBool,
    kDate,
    kData,
    kUid,
    kArray,
    kDict,
  };

  // One object of the output, in output order. Kept small, since a registry has thousands:
  // lengths are taken from the source again when the object is written.
  struct Node {
    const void* source;      // the std::string of a string or key, the Value of anything else
    std::uint32_t refBegin;  // containers: first slot of their references in refs_
    Kind kind;
  };

  struct Frame {
    const Value* container;
    std::uint32_t refBegin;
    std::size_t next;
  };

  static constexpr std::uint32_t kFailed = ~std::uint32_t{0};

  bool reserve(const Value& root);
  std::uint32_t addValue(const Value& value);
  std::uint32_t addString(const std::string& text);
  std::uint32_t addNode(const void* source, Kind kind, std::uint64_t bytes,
                        std::uint32_t refBegin = 0) {
    nodes_.push_back({source, refBegin, kind});
    objectBytes_ += bytes;
    return static_cast<std::uint32_t>(nodes_.size() - 1);
  }
  std::uint32_t addContainer(const Value& value, Kind kind, std::size_t count, std::size_t slots) {
    const auto refBegin = static_cast<std::uint32_t>(refs_.size());
    refs_.resize(refs_.size() + slots);
    return addNode(&value, kind, headerBytes(count), refBegin);
  }
  static std::uint64_t headerBytes(std::uint64_t length) {
    return length < kLengthFollows ? 1 : 2 + widthFor(length);
  }
  static std::uint8_t* putHeader(std::uint8_t* p, std::uint8_t marker, std::uint64_t length);
  std::uint8_t* putNode(std::uint8_t* p, const Node& node) const;

  std::vector<Node> nodes_;
  std::vector<std::uint32_t> refs_;
  std::unordered_map<std::string_view, std::uint32_t, KeyedHash> strings_;
  std::uint32_t boolNodes_[2] = {kFailed, kFailed};
  std::uint64_t objectBytes_ = 0;  // every object, less the references of containers
  unsigned refSize_ = 0;
};

// Sizes the tables once: every object but the root is the target of at least one reference,
// so the references counted here bound the objects too.
bool BinaryWriter::reserve(const Value& root) {
  std::uint64_t slots = 0;
  std::vector<const Value*> pending{&root};
  while (!pending.empty()) {
    const Value* value = pending.back();
    pending.pop_back();
    if (const Array* array = value->as<Array>()) {
      slots += array->size();
      for (const Value& child : *array) {
        if (child.is<Array>() || child.is<Dictionary>()) pending.push_back(&child);
      }
    } else if (const Dictionary* dict = value->as<Dictionary>()) {
      slots += 2 * dict->size();
      for (const auto& entry : *dict) {
        if (entry.second.is<Array>() || entry.second.is<Dictionary>()) {
          pending.push_back(&entry.second);
        }
      }
    }
  }
  if (slots >= kFailed - 1) return false;
  refs_.reserve(static_cast<std::size_t>(slots));
  nodes_.reserve(static_cast<std::size_t>(slots) + 1);
  return true;
}

std::uint32_t BinaryWriter::addString(const std::string& text) {
  const bool shared = text.size() <= kMaxSharedStringBytes;
  if (shared) {
    if (auto it = strings_.find(text); it != strings_.end()) return it->second;
  }
  std::uint8_t any = 0;
  for (const char c : text) any |= static_cast<std::uint8_t>(c);
  std::uint32_t index = 0;
  if (any < 0x80) {
    index = addNode(&text, Kind::kAscii, headerBytes(text.size()) + text.size());
  } else {
    if (!isValidUtf8(text)) return kFailed;
    const std::uint64_t units = utf16Units(text);
    index = addNode(&text, Kind::kUtf16, headerBytes(units) + 2 * units);
  }
  if (shared) strings_.emplace(text, index);
  return index;
}

std::uint32_t BinaryWriter::addValue(const Value& value) {
  switch (value.storage().index()) {
    case 0:
      return addString(*value.as<std::string>());
    case 1:
      return addNode(&value, Kind::kReal, 9);
    case 2: {
      const Integer i = *value.as<Integer>();
      std::uint64_t bytes = 0;
      if (i.beyondInt64()) {
        bytes = 17;
      } else if (i.asSigned() < 0) {
        bytes = 9;
      } else {
        bytes = 1 + widthFor(i.bits());
      }
      return addNode(&value, Kind::kInteger, bytes);
    }
    case 3: {
      std::uint32_t& index = boolNodes_[*value.as<bool>() ? 1 : 0];
      if (index == kFailed) index = addNode(&value, Kind::kBool, 1);
      return index;
    }
    case 4:
      return addNode(&value, Kind::kDate, 9);
    case 5: {
      const std::size_t size = value.as<Data>()->bytes.size();
      return addNode(&value, Kind::kData, headerBytes(size) + size);
    }
    case 6:
      return addNode(&value, Kind::kUid, 1 + widthFor(value.as<Uid>()->value));
    case 7: {
      const std::size_t count = value.as<Array>()->size();
      return addContainer(value, Kind::kArray, count, count);
    }
    case 8: {
      const std::size_t count = value.as<Dictionary>()->size();
      return addContainer(value, Kind::kDict, count, 2 * count);
    }
    default:
      return kFailed;
  }
}

std::uint8_t* BinaryWriter::putHeader(std::uint8_t* p, std::uint8_t marker, std::uint64_t length) {
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

std::uint8_t* BinaryWriter::putNode(std::uint8_t* p, const Node& node) const {
  const auto* value = static_cast<const Value*>(node.source);
  switch (node.kind) {
    case Kind::kAscii: {
      const auto* text = static_cast<const std::string*>(node.source);
      p = putHeader(p, kAscii, text->size());
      return std::copy(text->begin(), text->end(), p);
    }
    case Kind::kUtf16: {
      const auto* text = static_cast<const std::string*>(node.source);
      p = putHeader(p, kUtf16, utf16Units(*text));
      const auto* s = reinterpret_cast<const std::uint8_t*>(text->data());
      const std::uint8_t* const end = s + text->size();
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
          c = (c & 0x07) << 18 | (s[1] & 0x3F) << 12 | (s[2] & 0x3F) << 6 | (s[3] & 0x3F);
          s += 4;
          c -= 0x10000;
          storeBig(p, 0xD800 | c >> 10, 2);
          p += 2;
          c = 0xDC00 | (c & 0x3FF);
        }
        storeBig(p, c, 2);
        p += 2;
      }
      return p;
    }
    case Kind::kReal:
      *p = kReal64;
      storeBig(p + 1, std::bit_cast<std::uint64_t>(*value->as<double>()), 8);
      return p + 9;
    case Kind::kInteger: {
      const Integer i = *value->as<Integer>();
      if (i.beyondInt64()) {
        *p = kInt | 4;
        storeBig(p + 1, 0, 8);
        storeBig(p + 9, i.bits(), 8);
        return p + 17;
      }
      const unsigned width = i.asSigned() < 0 ? 8 : widthFor(i.bits());
      *p = static_cast<std::uint8_t>(kInt | std::countr_zero(width));
      storeBig(p + 1, i.bits(), width);
      return p + 1 + width;
    }
    case Kind::kBool:
      *p = *value->as<bool>() ? kTrue : kFalse;
      return p + 1;
    case Kind::kDate:
      *p = kDate;
      storeBig(p + 1, std::bit_cast<std::uint64_t>(value->as<Date>()->secondsSince2001), 8);
      return p + 9;
    case Kind::kData: {
      const auto& bytes = value->as<Data>()->bytes;
      p = putHeader(p, kData, bytes.size());
      if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
      return p + bytes.size();
    }
    case Kind::kUid: {
      const std::uint64_t v = value->as<Uid>()->value;
      const unsigned width = widthFor(v);
      *p = static_cast<std::uint8_t>(kUid | (width - 1));
      storeBig(p + 1, v, width);
      return p + 1 + width;
    }
    case Kind::kArray:
    case Kind::kDict: {
      const bool isDict = node.kind == Kind::kDict;
      const std::size_t count =
          isDict ? value->as<Dictionary>()->size() : value->as<Array>()->size();
      p = putHeader(p, isDict ? kDict : kArray, count);
      const std::uint32_t* ref = refs_.data() + node.refBegin;
      for (std::size_t i = isDict ? 2 * count : count; i > 0; --i, p += refSize_) {
        storeBig(p, *ref++, refSize_);
      }
      return p;
    }
  }
  return p;
}

std::optional<std::vector<std::uint8_t>> BinaryWriter::write(const Value& root) {
  if (!reserve(root)) return std::nullopt;
  // Objects are numbered in the order they are first met, a dictionary's keys before its
  // values, as other writers of the format do.
  std::vector<Frame> frames;
  auto open = [&](const Value& container, std::uint32_t index) {
    if (frames.size() >= kMaxNestingDepth) return false;
    std::uint32_t slot = nodes_[index].refBegin;
    frames.push_back({&container, slot, 0});
    if (nodes_[index].kind == Kind::kDict) {
      for (const auto& entry : *container.as<Dictionary>()) {
        if ((refs_[slot++] = addString(entry.first)) == kFailed) return false;
      }
    }
    return true;
  };

  const std::uint32_t rootIndex = addValue(root);
  if (rootIndex == kFailed) return std::nullopt;
  if ((root.is<Array>() || root.is<Dictionary>()) && !open(root, rootIndex)) return std::nullopt;
  while (!frames.empty()) {
    Frame& frame = frames.back();
    const Value* child = nullptr;
    std::size_t slot = 0;
    if (const Array* array = frame.container->as<Array>()) {
      if (frame.next == array->size()) {
        frames.pop_back();
        continue;
      }
      child = &(*array)[frame.next];
      slot = frame.refBegin + frame.next;
    } else {
      const auto& entries = frame.container->as<Dictionary>()->entries();
      if (frame.next == entries.size()) {
        frames.pop_back();
        continue;
      }
      child = &entries[frame.next].second;
      slot = frame.refBegin + entries.size() + frame.next;
    }
    ++frame.next;
    const std::uint32_t index = addValue(*child);
    if (index == kFailed) return std::nullopt;
    refs_[slot] = index;
    if ((child->is<Array>() || child->is<Dictionary>()) && !open(*child, index)) {
      return std::nullopt;
    }
  }

  refSize_ = widthFor(nodes_.size());
  const std::uint64_t tableOffset = kHeaderSize + objectBytes_ + refs_.size() * refSize_;
  const unsigned offsetSize = widthFor(tableOffset);
  std::vector<std::uint8_t> out(tableOffset + nodes_.size() * offsetSize + kTrailerSize);
  std::memcpy(out.data(), kMagic.data(), kMagic.size());
  std::uint8_t* p = out.data() + kHeaderSize;
  std::uint8_t* table = out.data() + tableOffset;
  for (const Node& node : nodes_) {
    storeBig(table, static_cast<std::uint64_t>(p - out.data()), offsetSize);
    table += offsetSize;
    p = putNode(p, node);
  }
  // Trailer: six unused bytes, the two sizes, object count, top object, table offset.
  table[6] = static_cast<std::uint8_t>(offsetSize);
  table[7] = static_cast<std::uint8_t>(refSize_);
  storeBig(table + 8, nodes_.size(), 8);
  storeBig(table + 16, rootIndex, 8);
  storeBig(table + 24, tableOffset, 8);
  return out;
}

}  // namespace

std::optional<Value> readBinaryPropertyList(std::span<const std::uint8_t> bytes) {
  return BinaryReader(bytes).read();
}

std::optional<std::vector<std::uint8_t>> writeBinaryPropertyList(const Value& root) {
  return BinaryWriter().write(root);
}

}  // namespace orvo::plist
