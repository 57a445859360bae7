// The writer of the binary format: each value in its smallest form, short strings shared, and
// nothing written that the reader would refuse.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/BinaryFormat.h"
#include "platform/PropertyList.h"
#include "platform/Utf8.h"

namespace orvo::plist {
namespace {

using namespace binary;

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

std::optional<std::vector<std::uint8_t>> writeBinaryPropertyList(const Value& root) {
  return BinaryWriter().write(root);
}

}  // namespace orvo::plist
