// Which objects of a stored file a write keeps, and where the objects it encodes go: the
// references to each object once the changes are made, and the places of the dead ones given
// to the new.
#include <algorithm>
#include <cstring>

#include "platform/plist/BinaryWriter.h"

namespace orvo::plist {

using namespace binary;

// References to each source object once the new file is written. Each new container adds
// those it holds, and the trailer's moves from the old top object to the new one; an object
// left with none is released, and so is all that it alone held. An edit that takes over a
// stored container holds its references on that container's count while the container lives,
// so that an edit of one value in a long list or a large registry costs no count of the others:
// when the container dies it releases only what the edit dropped, and when it lives on the
// edit adds its own.
void Writer::countReferences() {
  counts_ = source_->references_;
  const std::vector<Node>& nodes = encoder_.nodes();
  std::vector<std::pair<std::uint32_t, std::uint32_t>> claims;  // (stored container, node)
  for (std::uint32_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].takesOver != Encoder::kNone) claims.emplace_back(nodes[i].takesOver, i);
  }
  std::sort(claims.begin(), claims.end());
  // A container edited in two places is taken over by one edit; the other holds its own.
  for (std::size_t c = 1; c < claims.size(); ++c) {
    if (claims[c].first == claims[c - 1].first) holdOwn(nodes[claims[c].second]);
  }
  claims.erase(std::unique(claims.begin(), claims.end(),
                           [](const auto& a, const auto& b) { return a.first == b.first; }),
               claims.end());
  for (const Node& node : nodes) {
    if (node.kind >= Kind::kArray && node.takesOver == Encoder::kNone) holdOwn(node);
  }
  std::vector<std::uint32_t> dead;
  release(source_->top_, dead);
  while (!dead.empty()) {
    const std::uint32_t id = dead.back();
    dead.pop_back();
    const auto claim = std::lower_bound(claims.begin(), claims.end(),
                                        std::pair<std::uint32_t, std::uint32_t>(id, 0));
    releaseHeld(id, claim != claims.end() && claim->first == id ? &nodes[claim->second] : nullptr,
                dead);
  }
  for (const auto& [stored, node] : claims) {
    if (counts_[stored] != 0) holdOwn(nodes[node]);
  }
}

// The node's references to source objects, counted.
void Writer::holdOwn(const Node& node) {
  const std::vector<std::uint32_t>& refs = encoder_.refs();
  const std::size_t entries = (node.kind == Kind::kDictionary ? 2 : 1) * std::size_t{node.count};
  for (std::size_t i = node.refBegin; i < node.refBegin + entries; ++i) {
    if ((refs[i] & Encoder::kNode) == 0 && counts_[refs[i]] < 255) ++counts_[refs[i]];
  }
}

// What a dead container held is released; with an edit that took it over, only what the edit
// dropped: a dictionary's values that it changed, a list's elements that it left out.
void Writer::releaseHeld(std::uint32_t id, const Node* edit, std::vector<std::uint32_t>& dead) {
  const Contents held = source_->contents(id);
  const bool dict = (*source_->objectAt(id) >> 4) == kDictKind;
  const std::uint64_t first = edit != nullptr && dict ? held.length : 0;
  const std::uint64_t end = dict ? 2 * held.length : held.length;
  const std::uint32_t* changed =
      edit != nullptr ? encoder_.refs().data() + edit->refBegin + edit->count : nullptr;
  const auto* list =
      edit != nullptr && !dict ? static_cast<const ListEdit*>(edit->source) : nullptr;
  for (std::uint64_t i = first; i < end; ++i) {
    const bool dropped = edit == nullptr || (dict ? (changed[i - first] & Encoder::kNode) != 0
                                                  : !list->keeps(static_cast<std::size_t>(i)));
    if (dropped) release(static_cast<std::uint32_t>(source_->refAt(held.at, i)), dead);
  }
}

// A count that saturated is never released: such an object stays one write longer, and the
// next write, which counts afresh, finds it unreachable.
void Writer::release(std::uint32_t id, std::vector<std::uint32_t>& dead) {
  std::uint8_t& count = counts_[id];
  if (count == 0 || count == 255) return;
  if (--count == 0 && isContainer(id)) dead.push_back(id);
}

// Each node takes the place of the object it replaces when that is free, so that an edit
// leaves the rest of the file where it was; the others fill the remaining free places, then
// follow the source's objects.
void Writer::place() {
  std::vector<Node>& nodes = encoder_.nodes();
  for (Node& node : nodes) node.slot = kFree;
  for (Node& node : nodes) {
    if (node.replaces != Encoder::kNone && counts_[node.replaces] == 0) {
      node.slot = node.replaces;
      counts_[node.replaces] = 1;  // taken
    }
  }
  // A free place is a count of 0: memchr finds the next one a vector register at a time.
  const auto nextFree = [this](std::uint32_t from) {
    const void* found = from < n_ ? std::memchr(counts_.data() + from, 0, n_ - from) : nullptr;
    return found ? static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(found) -
                                              counts_.data())
                 : n_;
  };
  std::uint32_t free = 0, next = n_;
  for (Node& node : nodes) {
    if (node.slot != kFree) continue;
    free = nextFree(free);
    if (free < n_) {
      node.slot = free;
      counts_[free] = 1;
    } else {
      node.slot = next++;
    }
  }
  total_ = next;
  freePlaces_ = nextFree(free) < n_;
  placed_.reserve(nodes.size());
  for (std::uint32_t i = 0; i < nodes.size(); ++i) placed_.emplace_back(nodes[i].slot, i);
  std::sort(placed_.begin(), placed_.end());
}

}  // namespace orvo::plist
