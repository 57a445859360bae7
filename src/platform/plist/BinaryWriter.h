// The writer of the binary format (see BinaryPropertyListWriter.cpp); private to the
// property-list codec.
#ifndef ORVO_PLATFORM_PLIST_BINARYWRITER_H_
#define ORVO_PLATFORM_PLIST_BINARYWRITER_H_

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/plist/BinaryEncoder.h"
#include "platform/plist/BinaryFormat.h"
#include "platform/plist/PropertyListEdit.h"

namespace orvo::plist {

class Writer {
 public:
  Writer(const View* source, Encoder& encoder)
      : source_(source), encoder_(encoder), n_(source ? source->objectCount_ : 0) {}
  std::optional<Written> write();

 private:
  using Node = Encoder::Node;
  static constexpr std::uint32_t kFree = ~std::uint32_t{0};

  void countReferences();
  void holdOwn(const Node& node);
  void release(std::uint32_t id, std::vector<std::uint32_t>& dead);
  void releaseHeld(std::uint32_t id, const Node* edit, std::vector<std::uint32_t>& dead);
  void place();
  Written copying();
  Written compacting();
  bool readable(const Written& out) const;
  std::uint32_t slotOf(std::uint32_t ref) const {
    return (ref & Encoder::kNode) != 0 ? encoder_.nodes()[ref & ~Encoder::kNode].slot : ref;
  }
  // From the view's state word, which the validation left on every container it reached.
  bool isContainer(std::uint32_t id) const {
    return (source_->states_[id] & View::kTagMask) == View::kClosed;
  }
  std::uint64_t entriesOf(std::uint32_t id, std::uint64_t length) const {
    return (*source_->objectAt(id) >> 4) == binary::kDictKind ? 2 * length : length;
  }
  std::uint64_t endOf(std::uint32_t id) const {
    return id + 1 < n_ ? source_->offsetOf(id + 1)
                       : static_cast<std::uint64_t>(source_->table_ - source_->begin_);
  }
  std::uint64_t keptSize(std::uint32_t id, unsigned refSize) const;
  std::uint8_t* putKept(std::uint8_t* p, std::uint32_t id, unsigned refSize) const;
  void moveOffsets(std::uint32_t first, std::uint32_t end, unsigned width, std::uint64_t by,
                   std::uint8_t* to) const;
  static std::uint8_t* putTrailer(std::uint8_t* p, unsigned offsetSize, unsigned refSize,
                                  std::uint64_t count, std::uint64_t top, std::uint64_t table);

  const View* source_;
  Encoder& encoder_;
  const std::uint32_t n_;             // objects of the source
  std::uint32_t total_ = 0;           // places in the new file: the source's, then those appended
  std::vector<std::uint8_t> counts_;  // references to each object of the source, once written
  std::vector<std::pair<std::uint32_t, std::uint32_t>> placed_;  // (place, node), by place
  std::vector<std::uint32_t> rank_;  // compacting: the number of each place, or kFree
  bool freePlaces_ = false;
};

}  // namespace orvo::plist

#endif  // ORVO_PLATFORM_PLIST_BINARYWRITER_H_
