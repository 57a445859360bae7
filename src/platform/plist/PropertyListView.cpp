// Answers from a validated file's bytes. Everything here may assume what View::read checked:
// every object a handle reaches parses, every reference is in range.
#include "platform/plist/PropertyListView.h"

#include <bit>

#include "platform/Utf8.h"
#include "platform/plist/BinaryFormat.h"

namespace orvo::plist {

using namespace binary;

View::View(View&&) noexcept = default;
View& View::operator=(View&&) noexcept = default;
View::~View() = default;

std::string_view View::textOf(std::uint32_t id, std::string& scratch) const {
  const Contents text = contents(id);
  if ((*objectAt(id) >> 4) == kAsciiKind) {
    return {reinterpret_cast<const char*>(text.at), static_cast<std::size_t>(text.length)};
  }
  scratch.clear();
  // Checked when the view was read: the text has no lone surrogate.
  appendUtf16AsUtf8(text.at, static_cast<std::size_t>(text.length), true, scratch);
  return scratch;
}

bool View::sameText(std::uint32_t a, std::uint32_t b, std::string& scratchA,
                    std::string& scratchB) const {
  return a == b || textOf(a, scratchA) == textOf(b, scratchB);
}

std::optional<std::size_t> View::positionOf(std::uint32_t dict, std::string_view key) const {
  const Contents entries = contents(dict);
  const auto keyAt = [&](std::size_t i) {
    return Object(this, static_cast<std::uint32_t>(refAt(entries.at, i)));
  };
  if (entries.length <= kLinearScanLimit) {
    for (std::size_t i = 0; i < entries.length; ++i) {
      if (keyAt(i).textEquals(key)) return i;
    }
    return std::nullopt;
  }
  const std::uint32_t* table = slots_.data() + containerOf(dict).slots;
  const std::size_t mask = std::bit_ceil(static_cast<std::size_t>(entries.length) * 2) - 1;
  for (std::size_t slot = KeyedHash()(key) & mask; table[slot] != 0; slot = (slot + 1) & mask) {
    if (keyAt(table[slot] - 1).textEquals(key)) return table[slot] - 1;
  }
  return std::nullopt;
}

const std::uint8_t* Object::marker() const {
  return view_ == nullptr ? nullptr : view_->objectAt(id_);
}

std::optional<Contents> Object::references(std::uint8_t kind) const {
  const std::uint8_t* p = marker();
  if (p == nullptr || (*p >> 4) != kind) return std::nullopt;
  return view_->contents(id_);
}

std::optional<double> Object::numberOtherThanReal64() const {
  const std::uint8_t* p = marker();
  if (p == nullptr) return std::nullopt;
  if ((*p >> 4) == 0x1) return integer()->toDouble();
  if (*p == kReal32) {
    return static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(loadBig(p + 1, 4))));
  }
  return std::nullopt;
}

std::optional<Integer> Object::integer() const {
  const std::uint8_t* p = marker();
  if (p == nullptr || (*p >> 4) != 0x1) return std::nullopt;
  const unsigned low = *p & 0x0F;
  // Sixteen bytes hold -2^63..2^64-1 here; eight are signed, fewer unsigned.
  if (low == 4) {
    const std::uint64_t bits = loadBig(p + 9, 8);
    return loadBig(p + 1, 8) == 0 ? Integer::fromUnsigned(bits)
                                  : Integer::fromSigned(static_cast<std::int64_t>(bits));
  }
  return Integer::fromSigned(static_cast<std::int64_t>(loadBig(p + 1, 1u << low)));
}

std::optional<bool> Object::boolean() const {
  const std::uint8_t* p = marker();
  if (p == nullptr || (*p != kTrue && *p != kFalse)) return std::nullopt;
  return *p == kTrue;
}

std::optional<Date> Object::date() const {
  const std::uint8_t* p = marker();
  if (p == nullptr || *p != kDate) return std::nullopt;
  return Date{std::bit_cast<double>(loadBig(p + 1, 8))};
}

std::optional<std::span<const std::uint8_t>> Object::data() const {
  const std::optional<Contents> bytes = references(kDataKind);
  if (!bytes) return std::nullopt;
  return std::span<const std::uint8_t>(bytes->at, static_cast<std::size_t>(bytes->length));
}

std::optional<Uid> Object::uid() const {
  const std::uint8_t* p = marker();
  if (p == nullptr || (*p >> 4) != 0x8) return std::nullopt;
  return Uid{loadBig(p + 1, (*p & 0x0F) + 1u)};
}

std::optional<std::string_view> Object::text(std::string& scratch) const {
  const std::uint8_t* p = marker();
  if (p == nullptr || !isStringMarker(*p)) return std::nullopt;
  return view_->textOf(id_, scratch);
}

std::optional<std::string> Object::string() const {
  std::string scratch;
  const std::optional<std::string_view> text = this->text(scratch);
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

bool Object::textEquals(std::string_view utf8) const {
  if (const std::optional<Contents> text = references(kAsciiKind)) {
    return text->length == utf8.size() &&
           (utf8.empty() || std::memcmp(text->at, utf8.data(), utf8.size()) == 0);
  }
  const std::optional<Contents> wide = references(kUtf16Kind);
  // A text has at most as many UTF-16 units as it has bytes in UTF-8.
  if (!wide || wide->length > utf8.size()) return false;
  std::string decoded;
  appendUtf16AsUtf8(wide->at, static_cast<std::size_t>(wide->length), true, decoded);
  return decoded == utf8;
}

std::size_t Object::size() const {
  const std::uint8_t* p = marker();
  if (p == nullptr || !isContainerMarker(*p)) return 0;
  return static_cast<std::size_t>(view_->contents(id_).length);
}

Object Object::element(std::size_t i) const {
  const std::optional<Contents> refs = references(kArrayKind);
  if (!refs || i >= refs->length) return {};
  return Object(view_, static_cast<std::uint32_t>(view_->refAt(refs->at, i)));
}

Object Object::last() const {
  const std::optional<Contents> refs = references(kArrayKind);
  if (!refs || refs->length == 0) return {};
  return Object(view_, static_cast<std::uint32_t>(view_->refAt(refs->at, refs->length - 1)));
}

Object Object::key(std::size_t i) const {
  const std::optional<Contents> refs = references(kDictKind);
  if (!refs || i >= refs->length) return {};
  return Object(view_, static_cast<std::uint32_t>(view_->refAt(refs->at, i)));
}

Object Object::value(std::size_t i) const {
  const std::optional<Contents> refs = references(kDictKind);
  if (!refs || i >= refs->length) return {};
  return Object(view_, static_cast<std::uint32_t>(view_->refAt(refs->at, refs->length + i)));
}

std::optional<std::size_t> Object::position(std::string_view key) const {
  if (!references(kDictKind)) return std::nullopt;
  return view_->positionOf(id_, key);
}

Object Object::find(std::string_view key) const {
  const std::optional<std::size_t> at = position(key);
  return at ? value(*at) : Object();
}

namespace {

Value scalarValue(const Object& object) {
  switch (*object.kind()) {
    case Kind::kString:
      return *object.string();
    case Kind::kReal:
      return *object.number();
    case Kind::kInteger:
      return *object.integer();
    case Kind::kBool:
      return *object.boolean();
    case Kind::kDate:
      return *object.date();
    case Kind::kData: {
      const std::span<const std::uint8_t> bytes = *object.data();
      return Data{std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
    }
    default:
      return *object.uid();
  }
}

}  // namespace

// With a stack of its own: the file may nest as deep as the reader allows.
Value Object::toValue() const {
  if (!is(Kind::kArray) && !is(Kind::kDictionary)) return view_ ? scalarValue(*this) : Value();
  struct Frame {
    explicit Frame(Object container) : source(container) {}
    Object source;
    std::size_t next = 0;
    Array array;
    Dictionary dict;
    std::string key;  // of the child container being read
  };
  std::vector<Frame> frames;
  frames.emplace_back(*this);
  for (;;) {
    Frame& frame = frames.back();
    const bool isDict = frame.source.is(Kind::kDictionary);
    if (frame.next == frame.source.size()) {
      Value done = isDict ? Value(std::move(frame.dict)) : Value(std::move(frame.array));
      frames.pop_back();
      if (frames.empty()) return done;
      Frame& parent = frames.back();
      if (parent.source.is(Kind::kDictionary)) {
        parent.dict.append(std::move(parent.key), std::move(done));
      } else {
        parent.array.push_back(std::move(done));
      }
      continue;
    }
    const std::size_t i = frame.next++;
    const Object child = isDict ? frame.source.value(i) : frame.source.element(i);
    std::string key = isDict ? *frame.source.key(i).string() : std::string();
    if (child.is(Kind::kArray) || child.is(Kind::kDictionary)) {
      frame.key = std::move(key);
      frames.emplace_back(child);  // `frame` may move: nothing of it is used after this
    } else if (isDict) {
      frame.dict.append(std::move(key), scalarValue(child));
    } else {
      frame.array.push_back(scalarValue(child));
    }
  }
}

}  // namespace orvo::plist
