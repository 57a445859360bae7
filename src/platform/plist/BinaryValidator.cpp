// The one pass that makes a View: every object the top object reaches is checked once, however
// many containers share it. A shared value still counts at each use towards the depth and the
// budgets, as if the file were read into a tree, so the file is accepted or refused exactly as
// such a reader would; each container keeps what it adds up to for its next use. Containers
// are walked with a stack of our own, never the call stack.
#include "platform/plist/BinaryValidator.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#include "platform/Utf8.h"

namespace orvo::plist {

using namespace binary;

namespace {

// Whether every offset of the table points into the objects: the whole table in one pass that
// keeps only the least and the greatest, which vectorizes.
template <unsigned kWidth>
bool offsetsInRange(const std::uint8_t* table, std::uint64_t count, std::uint64_t end) {
  using Word = std::conditional_t<kWidth <= 4, std::uint32_t, std::uint64_t>;
  Word least = ~Word{0}, greatest = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto offset = static_cast<Word>(loadBig(table + i * kWidth, kWidth));
    least = std::min(least, offset);
    greatest = std::max(greatest, offset);
  }
  return least >= kHeaderSize && greatest < end;
}

}  // namespace

bool Validator::readTrailer() {
  const std::size_t size = v_.size_;
  // Header, one object byte, one offset byte, trailer. Far larger files than any store holds
  // fit the state words: a payload of 1.5 times the file, an index per object.
  if (size < kHeaderSize + 2 + kTrailerSize || size >= (std::size_t{1} << 29) ||
      std::memcmp(v_.begin_, kMagic.data(), kMagic.size()) != 0) {
    return false;
  }
  const std::uint8_t* trailer = v_.begin_ + size - kTrailerSize;
  const unsigned offsetSize = trailer[6], refSize = trailer[7];
  const std::uint64_t count = loadBig(trailer + 8, 8), top = loadBig(trailer + 16, 8);
  const std::uint64_t tableOffset = loadBig(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
  if (count == 0 || top >= count) return false;
  const std::uint64_t tableLimit = size - kTrailerSize;
  if (tableOffset <= kHeaderSize || tableOffset > tableLimit) return false;
  if (count > (tableLimit - tableOffset) / offsetSize) return false;
  objectsEnd_ = v_.begin_ + tableOffset;
  v_.table_ = objectsEnd_;
  v_.offsetSize_ = offsetSize;
  v_.refSize_ = refSize;
  v_.offsetShift_ = 64 - 8 * offsetSize;
  v_.refShift_ = 64 - 8 * refSize;
  v_.objectCount_ = static_cast<std::uint32_t>(count);
  v_.top_ = static_cast<std::uint32_t>(top);
  bool inRange = true;
  switch (offsetSize) {
    case 1:
      inRange = offsetsInRange<1>(v_.table_, count, tableOffset);
      break;
    case 2:
      inRange = offsetsInRange<2>(v_.table_, count, tableOffset);
      break;
    case 4:
      inRange = offsetsInRange<4>(v_.table_, count, tableOffset);
      break;
    case 8:
      inRange = offsetsInRange<8>(v_.table_, count, tableOffset);
      break;
    default:
      for (std::uint32_t i = 0; i < count && inRange; ++i) {
        const std::uint64_t offset = v_.offsetOf(i);
        inRange = offset >= kHeaderSize && offset < tableOffset;
      }
  }
  skip_ =
      forUpdate_ ? chooseSkip<true>(refSize, offsetSize) : chooseSkip<false>(refSize, offsetSize);
  if (!inRange) return false;
  valueBudget_ = std::max<std::uint64_t>(kMinValueBudget, size);
  payloadBudget_ = size > kMinPayloadBudget / kPayloadBudgetPerFileByte
                       ? std::uint64_t{size} * kPayloadBudgetPerFileByte
                       : kMinPayloadBudget;
  return true;
}

// Checks the object `child` where a container (or the trailer) refers to it, and adds what it
// holds to `into`. A container met for the first time is opened instead: its frame is pushed.
Validator::Visit Validator::visit(std::uint64_t ref, View::Container& into, bool asKey) {
  if (ref >= v_.objectCount_) return Visit::kFailed;
  const auto child = static_cast<std::uint32_t>(ref);
  const std::uint8_t* p = v_.objectAt(child);
  const std::uint8_t marker = *p;
  if (forUpdate_) {
    std::uint8_t& references = v_.references_[child];
    references += references != 255;
  }
  if (asKey && !isStringMarker(marker)) return Visit::kFailed;
  const std::size_t left = static_cast<std::size_t>(objectsEnd_ - p) - 1;
  const unsigned low = marker & 0x0F;
  std::size_t size = 0;
  switch (marker >> 4) {
    case 0x0:
      // 0x00 (null) and 0x0F (fill) are markers no property list value maps to.
      if (marker != kFalse && marker != kTrue) return Visit::kFailed;
      size = 1;
      break;
    case 0x1:
      if (low > 4 || left < (std::size_t{1} << low)) return Visit::kFailed;
      // Sixteen bytes are signed: only those in -2^63..2^64-1 are read.
      if (low == 4 && loadBig(p + 1, 8) != 0 &&
          (loadBig(p + 1, 8) != ~std::uint64_t{0} ||
           loadBig(p + 9, 8) < (std::uint64_t{1} << 63))) {
        return Visit::kFailed;
      }
      size = 1 + (std::size_t{1} << low);
      break;
    case 0x2:
      if ((marker != kReal64 || left < 8) && (marker != kReal32 || left < 4)) {
        return Visit::kFailed;
      }
      size = marker == kReal64 ? 9 : 5;
      break;
    case 0x3:
      if (marker != kDate || left < 8) return Visit::kFailed;
      size = 9;
      break;
    case kDataKind:
    case kAsciiKind:
    case kUtf16Kind:
      return visitString(child, p, into) ? Visit::kDone : Visit::kFailed;
    case 0x8:
      if ((low != 0 && low != 1 && low != 3 && low != 7) || left < low + 1) return Visit::kFailed;
      size = low + 2;
      break;
    case kArrayKind:
    case kDictKind: {
      const std::uint32_t state = v_.states_[child];
      if (state == 0) return open(child, p);
      if ((state & kTagMask) == kOpen) return Visit::kFailed;  // a cycle
      const View::Container& done = v_.containers_[state & kValueMask];
      into.values += done.values;
      into.payload += done.payload;
      into.height = std::max(into.height, done.height);
      return addOpen(done.values, done.payload) ? Visit::kDone : Visit::kFailed;
    }
    default:
      return Visit::kFailed;
  }
  noteEnd(child, p + size);
  return Visit::kDone;
}

// Strings and data are checked at their first use; later uses add the payload noted then.
bool Validator::visitString(std::uint32_t child, const std::uint8_t* p, View::Container& into) {
  std::uint32_t& state = v_.states_[child];
  if (state == 0) {
    const std::uint8_t marker = *p++;
    std::uint64_t length = 0;
    if (!readLength(p, objectsEnd_, marker, length)) return false;
    const std::size_t left = static_cast<std::size_t>(objectsEnd_ - p);
    const bool wide = (marker >> 4) == kUtf16Kind;
    if (length > (wide ? left / 2 : left)) return false;
    std::uint64_t payload = length;
    if (wide) {
      // Counted as the larger of its own size and its size as UTF-8, as a tree reader holds it.
      const std::optional<std::size_t> utf8 = utf8SizeOfUtf16(p, length);
      if (!utf8) return false;
      payload = std::max<std::uint64_t>(2 * length, *utf8);
    } else if ((marker >> 4) == kAsciiKind) {
      std::uint8_t any = 0;
      for (std::size_t i = 0; i < length; ++i) any |= p[i];
      if (any >= 0x80) return false;
    }
    noteEnd(child, p + (wide ? 2 * length : length));
    state = kScalarDone | static_cast<std::uint32_t>(payload);
  }
  into.payload += state & kValueMask;
  return addOpen(0, state & kValueMask);
}

Validator::Visit Validator::open(std::uint32_t child, const std::uint8_t* p) {
  const std::uint8_t marker = *p++;
  const bool isDict = (marker >> 4) == kDictKind;
  std::uint64_t length = 0;
  if (frames_.size() >= kMaxNestingDepth || !readLength(p, objectsEnd_, marker, length) ||
      length >
          static_cast<std::size_t>(objectsEnd_ - p) / (isDict ? 2 * v_.refSize_ : v_.refSize_)) {
    return Visit::kFailed;
  }
  const auto index = static_cast<std::uint32_t>(v_.containers_.size());
  v_.containers_.emplace_back();
  v_.states_[child] = kOpen | index;
  const auto count = static_cast<std::uint32_t>(length);
  noteEnd(child, p + (isDict ? 2 * std::size_t{count} : count) * v_.refSize_);
  frames_.push_back({child, index, p, count, 0, isDict});
  return Visit::kOpened;
}

// Ends the top frame: its entries counted, its keys checked, what it adds up to kept for its
// later uses and added to its parent.
bool Validator::close() {
  const Frame frame = frames_.back();
  frames_.pop_back();
  View::Container& done = v_.containers_[frame.container];
  const std::uint64_t entries = frame.isDict ? 2 * std::uint64_t{frame.count} : frame.count;
  done.values += entries;
  done.height += 1;
  if (!addOpen(entries, 0) || !withinBudgets(done) || (frame.isDict && !checkKeys(frame, done)))
    return false;
  v_.states_[frame.object] = kClosed | frame.container;
  if (frames_.empty()) {
    v_.values_ += done.values;
    v_.payload_ += done.payload;
    v_.height_ = done.height;
    return true;
  }
  View::Container& parent = v_.containers_[frames_.back().container];
  parent.values += done.values;
  parent.payload += done.payload;
  parent.height = std::max(parent.height, done.height);
  return true;
}

// No two keys alike. Small dictionaries compare every pair; larger ones build the hash index
// that their lookups use, keyed per process so that no set of keys can make it degrade.
bool Validator::checkKeys(const Frame& frame, View::Container& container) {
  const std::uint32_t n = frame.count;
  if (n <= kLinearScanLimit) {
    for (std::uint32_t i = 0; i < n; ++i) {
      for (std::uint32_t j = i + 1; j < n; ++j) {
        if (v_.sameText(static_cast<std::uint32_t>(v_.refAt(frame.refs, i)),
                        static_cast<std::uint32_t>(v_.refAt(frame.refs, j)), scratchA_,
                        scratchB_)) {
          return false;
        }
      }
    }
    return true;
  }
  // At most half the slots taken, so probes stay short.
  const std::size_t slots = std::bit_ceil(std::size_t{n} * 2);
  container.slots = static_cast<std::uint32_t>(v_.slots_.size());
  v_.slots_.resize(v_.slots_.size() + slots, 0);
  std::uint32_t* table = v_.slots_.data() + container.slots;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::string_view text =
        v_.textOf(static_cast<std::uint32_t>(v_.refAt(frame.refs, i)), scratchA_);
    std::size_t slot = KeyedHash()(text) & (slots - 1);
    for (; table[slot] != 0; slot = (slot + 1) & (slots - 1)) {
      const auto other = static_cast<std::uint32_t>(v_.refAt(frame.refs, table[slot] - 1));
      if (v_.textOf(other, scratchB_) == text) return false;
    }
    table[slot] = i + 1;
  }
  return true;
}

bool Validator::run() {
  if (!readTrailer()) return false;
  v_.states_.assign(v_.objectCount_, 0);
  if (forUpdate_) {
    v_.references_.assign(v_.objectCount_, 0);
    v_.canonical_ = v_.offsetOf(0) == kHeaderSize;
  }
  View::Container top;
  switch (visit(v_.top_, top, false)) {
    case Visit::kFailed:
      return false;
    case Visit::kDone:
      v_.values_ = 1;
      v_.payload_ = top.payload;
      // A lone value on top: any other object is one that nothing refers to.
      if (forUpdate_) v_.canonical_ &= v_.objectCount_ == 1;
      return v_.payload_ <= payloadBudget_;
    case Visit::kOpened:
      break;
  }
  v_.values_ = 1;
  frames_.reserve(32);
  while (!frames_.empty()) {
    Frame& frame = frames_.back();
    const std::uint32_t total = frame.isDict ? 2 * frame.count : frame.count;
    // A frame pushed by a visit is handled on the next turn: `frame` may have moved.
    bool opened = false;
    while (!opened && frame.next < total) {
      if (!frame.isDict && skip_ != nullptr) {
        frame.next = (this->*skip_)(frame.refs, frame.next, total);
        if (frame.next == total) break;
      }
      const std::uint64_t child = v_.refAt(frame.refs, frame.next);
      const bool asKey = frame.isDict && frame.next < frame.count;
      ++frame.next;
      switch (visit(child, v_.containers_[frame.container], asKey)) {
        case Visit::kFailed:
          return false;
        case Visit::kOpened:
          opened = true;
          break;
        case Visit::kDone:
          break;
      }
    }
    if (!opened && !close()) return false;
  }
  if (v_.values_ > valueBudget_ || v_.payload_ > payloadBudget_) return false;
  if (forUpdate_) {
    v_.canonical_ &= std::memchr(v_.references_.data(), 0, v_.references_.size()) == nullptr;
  }
  return true;
}

std::optional<View> View::read(std::span<const std::uint8_t> bytes, Purpose purpose) {
  View view;
  if (!Validator(view, bytes, purpose == Purpose::kUpdate).run()) return std::nullopt;
  return view;
}

}  // namespace orvo::plist
