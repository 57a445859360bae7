// The writer of the binary format. An update copies the stored file: each object keeps its
// number and its bytes, the edited containers and new values are encoded in the places of the
// objects they replace (or after the others), and only the offset table is written anew. The
// objects that no longer belong to the top object are never kept: when nothing new fills their
// places, every object is renumbered, which also happens when the references must grow wider.
// A file is never written that the reader would refuse.
#include <algorithm>
#include <type_traits>

#include "platform/plist/BinaryWriter.h"

namespace orvo::plist {

using namespace binary;

std::uint64_t Writer::keptSize(std::uint32_t id, unsigned refSize) const {
  const std::uint8_t* p = source_->objectAt(id);
  const unsigned low = *p & 0x0F;
  switch (*p >> 4) {
    case 0x0:
      return 1;
    case 0x1:
      return 1 + (std::uint64_t{1} << low);
    case 0x2:
      return *p == kReal64 ? 9 : 5;
    case 0x3:
      return 9;
    case 0x8:
      return low + 2;
    case kArrayKind:
    case kDictKind: {
      const std::uint64_t count = source_->contents(id).length;
      return headerBytes(count) + entriesOf(id, count) * refSize;
    }
    default: {
      const Contents text = source_->contents(id);
      return static_cast<std::uint64_t>(text.at - p) +
             ((*p >> 4) == kUtf16Kind ? 2 : 1) * text.length;
    }
  }
}

// A scalar as it was; a container with its references renumbered.
std::uint8_t* Writer::putKept(std::uint8_t* p, std::uint32_t id, unsigned refSize) const {
  const std::uint8_t* from = source_->objectAt(id);
  if (!isContainer(id)) {
    const std::uint64_t size = keptSize(id, refSize);
    std::memcpy(p, from, size);
    return p + size;
  }
  const Contents held = source_->contents(id);
  p = putHeader(p, *from & 0xF0, held.length);
  const std::uint64_t entries = entriesOf(id, held.length);
  for (std::uint64_t i = 0; i < entries; ++i, p += refSize) {
    storeBig(p, rank_[source_->refAt(held.at, i)], refSize);
  }
  return p;
}

std::uint8_t* Writer::putTrailer(std::uint8_t* p, unsigned offsetSize, unsigned refSize,
                                 std::uint64_t count, std::uint64_t top, std::uint64_t table) {
  std::memset(p, 0, 6);  // unused
  p[6] = static_cast<std::uint8_t>(offsetSize);
  p[7] = static_cast<std::uint8_t>(refSize);
  storeBig(p + 8, count, 8);
  storeBig(p + 16, top, 8);
  storeBig(p + 24, table, 8);
  return p + kTrailerSize;
}

// Every object keeps its number: runs of unchanged objects are the source's own bytes, the
// nodes are put in their places, and the source's offset table stays where no object moved.
Written Writer::copying() {
  const unsigned refSize = source_->refSize_;
  const auto oldTable = static_cast<std::uint64_t>(source_->table_ - source_->begin_);
  std::uint64_t objects = oldTable - kHeaderSize, nodeBytes = 0;
  // The first object that moves: the one after a node of another size than the object whose
  // place it took.
  std::uint32_t firstMoved = n_;
  for (const auto& [slot, node] : placed_) {
    const std::uint64_t size = encoder_.size(encoder_.nodes()[node], refSize);
    const std::uint64_t replaced = slot < n_ ? endOf(slot) - source_->offsetOf(slot) : 0;
    if (slot < n_ && size != replaced) firstMoved = std::min(firstMoved, slot + 1);
    objects += size - replaced;
    nodeBytes += size;
  }
  const unsigned offsetSize = std::max(source_->offsetSize_, widthFor(kHeaderSize + objects));
  // The source's offset table serves up to there, unless offsets grew wider.
  const std::uint32_t firstOurs = offsetSize == source_->offsetSize_ ? firstMoved : 0;
  Written out;
  out.owned_.resize(nodeBytes + std::size_t{total_ - firstOurs} * offsetSize + kTrailerSize);
  std::uint8_t* p = out.owned_.data();
  std::uint8_t* const ours = p + nodeBytes;  // our offsets, then the trailer
  const auto entryOf = [&](std::uint32_t slot) {
    return ours + std::size_t{slot - firstOurs} * offsetSize;
  };
  const auto setOffset = [&](std::uint32_t slot, std::uint64_t offset) {
    if (slot >= firstOurs) storeBig(entryOf(slot), offset, offsetSize);
  };
  const auto number = [this](std::uint32_t ref) { return slotOf(ref); };
  out.add({source_->begin_, kHeaderSize});
  std::size_t next = 0;  // in placed_
  for (std::uint32_t slot = 0; slot < total_;) {
    const std::uint32_t runEnd = std::min(next < placed_.size() ? placed_[next].first : total_, n_);
    if (slot < runEnd) {
      const std::uint64_t from = source_->offsetOf(slot), to = endOf(runEnd - 1);
      const std::uint64_t at = out.size();
      out.add({source_->begin_ + from, static_cast<std::size_t>(to - from)});
      slot = std::max(slot, std::min(firstOurs, runEnd));
      if (slot < runEnd) {
        moveOffsets(slot, runEnd, offsetSize, at - from, entryOf(slot));
        slot = runEnd;
      }
      continue;
    }
    setOffset(slot, out.size());
    std::uint8_t* const end =
        encoder_.put(p, encoder_.nodes()[placed_[next++].second], refSize, number);
    out.add({p, static_cast<std::size_t>(end - p)});
    p = end;
    ++slot;
  }
  out.add({source_->table_, std::size_t{std::min(firstOurs, n_)} * offsetSize});
  std::uint8_t* const trailer = entryOf(total_);
  putTrailer(trailer, offsetSize, refSize, total_, slotOf(encoder_.root()), kHeaderSize + objects);
  out.add({ours, static_cast<std::size_t>(trailer + kTrailerSize - ours)});
  return out;
}

// The offsets of the source's objects `first` to `end`, moved by `by`, in our table at `to`; in
// a loop made for the width when it did not change, as an append early in a file moves them all.
void Writer::moveOffsets(std::uint32_t first, std::uint32_t end, unsigned width, std::uint64_t by,
                         std::uint8_t* to) const {
  const std::uint8_t* from = source_->table_ + std::size_t{first} * source_->offsetSize_;
  const std::size_t count = end - first;
  const auto moveAll = [&](auto w) {
    for (std::size_t i = 0; i < count; ++i) storeBig(to + i * w, loadBig(from + i * w, w) + by, w);
  };
  if (width != source_->offsetSize_) {
    for (std::uint32_t slot = first; slot < end; ++slot, to += width) {
      storeBig(to, source_->offsetOf(slot) + by, width);
    }
  } else if (width == 2) {
    moveAll(std::integral_constant<unsigned, 2>());
  } else if (width == 4) {
    moveAll(std::integral_constant<unsigned, 4>());
  } else {
    moveAll(width);
  }
}

// Places that nothing fills are left out: every object is renumbered by its rank among those
// kept, each container written with its references renumbered and each scalar copied as it was,
// a run of them at a time where the source's objects lie one after the other.
Written Writer::compacting() {
  // Places taken by nodes count as kept, and those after the source's are all nodes.
  const auto nextKept = [this](std::uint32_t slot) {
    while (slot + 8 <= n_) {
      std::uint64_t eight = 0;
      std::memcpy(&eight, counts_.data() + slot, 8);
      if (eight != 0) break;
      slot += 8;
    }
    while (slot < n_ && counts_[slot] == 0) ++slot;
    return slot;
  };
  rank_.assign(total_, kFree);
  std::uint32_t count = 0;
  for (std::uint32_t slot = nextKept(0); slot < total_; slot = nextKept(slot + 1)) {
    rank_[slot] = count++;
  }
  std::size_t next = 0;
  const unsigned refSize = widthFor(count);
  const bool tiled = source_ != nullptr && source_->canonical_;
  // Where a run of scalars kept as they were, starting at `slot`, ends; the next node's place
  // ends it too.
  const auto runEnd = [&](std::uint32_t slot, std::uint32_t nextNode) {
    std::uint32_t end = slot + 1;
    while (tiled && end < std::min(nextNode, n_) && rank_[end] != kFree && !isContainer(end)) ++end;
    return end;
  };
  const auto nextNode = [&] { return next < placed_.size() ? placed_[next].first : total_; };
  std::uint64_t objects = 0;
  next = 0;
  for (std::uint32_t slot = 0; slot < total_;) {
    if (slot == nextNode()) {
      objects += encoder_.size(encoder_.nodes()[placed_[next++].second], refSize);
      ++slot;
    } else if (rank_[slot] == kFree) {
      slot = nextKept(slot);
    } else if (isContainer(slot) || !tiled) {
      objects += keptSize(slot++, refSize);
    } else {
      const std::uint32_t end = runEnd(slot, nextNode());
      objects += endOf(end - 1) - source_->offsetOf(slot);
      slot = end;
    }
  }
  const unsigned offsetSize = widthFor(kHeaderSize + objects);
  Written written;
  std::vector<std::uint8_t>& out = written.owned_;
  out.resize(kHeaderSize + objects + count * std::size_t{offsetSize} + kTrailerSize);
  std::memcpy(out.data(), kMagic.data(), kHeaderSize);
  std::uint8_t* p = out.data() + kHeaderSize;
  std::uint8_t* const table = out.data() + kHeaderSize + objects;
  const auto setOffset = [&](std::uint32_t slot, std::uint64_t offset) {
    storeBig(table + std::size_t{rank_[slot]} * offsetSize, offset, offsetSize);
  };
  const auto number = [this](std::uint32_t ref) { return rank_[slotOf(ref)]; };
  next = 0;
  for (std::uint32_t slot = 0; slot < total_;) {
    const auto at = static_cast<std::uint64_t>(p - out.data());
    if (slot == nextNode()) {
      setOffset(slot++, at);
      p = encoder_.put(p, encoder_.nodes()[placed_[next++].second], refSize, number);
    } else if (rank_[slot] == kFree) {
      slot = nextKept(slot);
    } else if (isContainer(slot) || !tiled) {
      setOffset(slot, at);
      p = putKept(p, slot++, refSize);
    } else {
      const std::uint32_t end = runEnd(slot, nextNode());
      const std::uint64_t from = source_->offsetOf(slot), to = endOf(end - 1);
      std::memcpy(p, source_->begin_ + from, to - from);
      p += to - from;
      // Kept places rank one after another.
      moveOffsets(slot, end, offsetSize, at - from, table + std::size_t{rank_[slot]} * offsetSize);
      slot = end;
    }
  }
  putTrailer(table + count * std::size_t{offsetSize}, offsetSize, refSize, count,
             number(encoder_.root()), kHeaderSize + objects);
  written.add(out);
  return written;
}

// What the new file holds is bounded by what the source held plus all that the changes add;
// only when that bound passes a budget is the file checked as a reader checks it.
bool Writer::readable(const Written& out) const {
  const std::uint64_t size = out.size();
  const std::uint64_t valueBudget = std::max<std::uint64_t>(kMinValueBudget, size);
  const std::uint64_t payloadBudget = size > kMinPayloadBudget / kPayloadBudgetPerFileByte
                                          ? size * kPayloadBudgetPerFileByte
                                          : kMinPayloadBudget;
  const std::uint64_t values = (source_ ? source_->values_ : 1) + encoder_.addedValues();
  const std::uint64_t payload = (source_ ? source_->payload_ : 0) + encoder_.addedPayload();
  if (encoder_.depthKept() && values <= valueBudget && payload <= payloadBudget) return true;
  return View::read(out.joined()).has_value();
}

std::optional<Written> Writer::write() {
  // Copying needs the counts that only a view read for an update keeps.
  if (source_ != nullptr && source_->references_.size() != source_->objectCount_) {
    return std::nullopt;
  }
  if (source_ != nullptr) countReferences();
  place();
  const bool copy = source_ != nullptr && source_->canonical_ && !freePlaces_ &&
                    widthFor(total_) <= source_->refSize_;
  Written out = copy ? copying() : compacting();
  if (!readable(out)) return std::nullopt;
  return out;
}

void Written::add(std::span<const std::uint8_t> piece) {
  size_ += piece.size();
  if (!pieces_.empty() && pieces_.back().data() + pieces_.back().size() == piece.data()) {
    pieces_.back() = {pieces_.back().data(), pieces_.back().size() + piece.size()};
  } else if (!piece.empty()) {
    pieces_.push_back(piece);
  }
}

std::vector<std::uint8_t> Written::joined() const {
  std::vector<std::uint8_t> joined;
  joined.reserve(size_);
  for (const auto& piece : pieces_) joined.insert(joined.end(), piece.begin(), piece.end());
  return joined;
}

std::vector<std::uint8_t> Written::bytes() && {
  const bool whole = pieces_.size() == 1 && pieces_[0].data() == owned_.data() &&
                     pieces_[0].size() == owned_.size();
  return whole ? std::move(owned_) : joined();
}

std::optional<std::vector<std::uint8_t>> writeBinaryPropertyList(const Value& root) {
  Encoder encoder(nullptr);
  if (!encoder.collect(root)) return std::nullopt;
  std::optional<Written> written = Writer(nullptr, encoder).write();
  if (!written) return std::nullopt;
  return std::move(*written).bytes();
}

std::optional<Written> writeBinaryPropertyList(const View* source, const DictionaryEdit& changes) {
  Encoder encoder(source);
  if (!encoder.collect(changes)) return std::nullopt;
  return Writer(source, encoder).write();
}

}  // namespace orvo::plist
