// The checks that make a View, in one pass over what the top object reaches (see
// BinaryValidator.cpp); private to the property-list codec.
#ifndef ORVO_PLATFORM_PLIST_BINARYVALIDATOR_H_
#define ORVO_PLATFORM_PLIST_BINARYVALIDATOR_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/plist/BinaryFormat.h"
#include "platform/plist/PropertyListView.h"

namespace orvo::plist {

class Validator {
  static constexpr std::uint32_t kScalarDone = View::kScalarDone;
  static constexpr std::uint32_t kOpen = View::kOpen;
  static constexpr std::uint32_t kClosed = View::kClosed;
  static constexpr std::uint32_t kTagMask = View::kTagMask;
  static constexpr std::uint32_t kValueMask = ~kTagMask;

 public:
  Validator(View& view, std::span<const std::uint8_t> bytes, bool forUpdate)
      : v_(view), forUpdate_(forUpdate) {
    v_.begin_ = bytes.data();
    v_.size_ = bytes.size();
  }
  bool run();

 private:
  enum class Visit { kFailed, kDone, kOpened };

  // A container being checked: its references are visited in order, dictionaries' keys first.
  struct Frame {
    std::uint32_t object;
    std::uint32_t container;  // its entry in containers_
    const std::uint8_t* refs;
    std::uint32_t count;  // entries; a dictionary has twice as many references
    std::uint32_t next;
    bool isDict;
  };

  bool readTrailer();
  Visit visit(std::uint64_t ref, View::Container& into, bool asKey);
  bool visitString(std::uint32_t child, const std::uint8_t* p, View::Container& into);
  Visit open(std::uint32_t child, const std::uint8_t* p);
  bool close();
  bool checkKeys(const Frame& frame, View::Container& container);
  // Updates: the object ends where the next one starts.
  void noteEnd(std::uint32_t child, const std::uint8_t* end) {
    if (forUpdate_) v_.canonical_ &= v_.begin_ + nextOffset(child) == end;
  }
  std::uint64_t nextOffset(std::uint32_t id) const {
    return id + 1 < v_.objectCount_ ? v_.offsetOf(id + 1)
                                    : static_cast<std::uint64_t>(v_.table_ - v_.begin_);
  }
  // Reals are most of a registry: runs of them in an array skip the general dispatch, in a
  // loop made for the file's widths. The position of the first element that is not a real.
  using Skip = std::uint32_t (Validator::*)(const std::uint8_t*, std::uint32_t, std::uint32_t);
  template <unsigned kRef, unsigned kOffset, bool kUpdate>
  std::uint32_t skipReals(const std::uint8_t* refs, std::uint32_t next, std::uint32_t end) {
    const std::uint8_t* const begin = v_.begin_;
    const std::uint8_t* const table = v_.table_;
    const std::uint8_t* const lastReal = objectsEnd_ - 9;  // the table follows at least a byte
    const std::uint64_t count = v_.objectCount_;
    std::uint8_t* const references = v_.references_.data();
    // Updates check that each real ends where the next object starts. Reals of a list are
    // usually consecutive objects: then the next one's offset, read anyway, tells.
    bool canonical = true;
    std::uint64_t previous = count;  // the real just checked, when its end is yet to be seen
    const std::uint8_t* previousEnd = nullptr;
    const auto endSeen = [&](const std::uint8_t* following) {
      canonical &= following == previousEnd;
    };
    for (; next < end; ++next) {
      const std::uint64_t child = binary::loadBig(refs + std::size_t{next} * kRef, kRef);
      if (child >= count) break;
      const std::uint8_t* p = begin + binary::loadBig(table + child * kOffset, kOffset);
      if (*p != binary::kReal64 || p > lastReal) break;
      if constexpr (kUpdate) {
        references[child] += references[child] != 255;
        if (previous + 1 == child) {
          endSeen(p);
        } else if (previous != count) {
          endSeen(previous + 1 < count
                      ? begin + binary::loadBig(table + (previous + 1) * kOffset, kOffset)
                      : objectsEnd_);
        }
        previous = child;
        previousEnd = p + 9;
      }
    }
    if (kUpdate && previous != count) {
      endSeen(previous + 1 < count
                  ? begin + binary::loadBig(table + (previous + 1) * kOffset, kOffset)
                  : objectsEnd_);
    }
    if constexpr (kUpdate) v_.canonical_ &= canonical;
    return next;
  }
  template <bool kUpdate, unsigned kRef>
  static Skip chooseSkip(unsigned offsetSize) {
    switch (offsetSize) {
      case 1:
        return &Validator::skipReals<kRef, 1, kUpdate>;
      case 2:
        return &Validator::skipReals<kRef, 2, kUpdate>;
      case 4:
        return &Validator::skipReals<kRef, 4, kUpdate>;
      default:  // files far larger than any store: the general dispatch
        return nullptr;
    }
  }
  template <bool kUpdate>
  static Skip chooseSkip(unsigned refSize, unsigned offsetSize) {
    switch (refSize) {
      case 1:
        return chooseSkip<kUpdate, 1>(offsetSize);
      case 2:
        return chooseSkip<kUpdate, 2>(offsetSize);
      case 4:
        return chooseSkip<kUpdate, 4>(offsetSize);
      default:
        return nullptr;
    }
  }
  bool withinBudgets(const View::Container& c) const {
    return c.values <= valueBudget_ && c.payload <= payloadBudget_ && c.height <= kMaxNestingDepth;
  }
  // Notes what a step added to the open containers. Together they never hold more than the
  // whole file will (each is part of its parent, none twice), so the budgets bound them at every
  // step: a file past its budgets is refused before the work it would cost, not at the end.
  bool addOpen(std::uint64_t values, std::uint64_t payload) {
    openValues_ += values;
    openPayload_ += payload;
    return openValues_ <= valueBudget_ && openPayload_ <= payloadBudget_;
  }

  View& v_;
  const bool forUpdate_;
  Skip skip_ = nullptr;
  const std::uint8_t* objectsEnd_ = nullptr;
  std::uint64_t valueBudget_ = 0;
  std::uint64_t payloadBudget_ = 0;
  std::uint64_t openValues_ = 0;
  std::uint64_t openPayload_ = 0;
  std::vector<Frame> frames_;
  std::string scratchA_, scratchB_;
};

}  // namespace orvo::plist

#endif  // ORVO_PLATFORM_PLIST_BINARYVALIDATOR_H_
