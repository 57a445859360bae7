// The objects a write encodes anew, and how each is put into bytes: every value of a tree, or,
// for an edit of a stored file, the edited containers and the new values. Containers refer to
// nodes (kNode set) or to objects of the source file, which the writer copies.
#ifndef ORVO_PLATFORM_PLIST_BINARYENCODER_H_
#define ORVO_PLATFORM_PLIST_BINARYENCODER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "platform/plist/BinaryFormat.h"
#include "platform/plist/PropertyList.h"
#include "platform/plist/PropertyListEdit.h"
#include "platform/plist/PropertyListView.h"

namespace orvo::plist {

class Encoder {
 public:
  static constexpr std::uint32_t kNode = 1u << 31;
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};

  struct Node {
    const void* source;      // a string's std::string, an edit's ListEdit or DictionaryEdit,
                             // else the Value
    std::uint64_t bytes;     // all of a scalar; a container's header
    std::uint32_t refBegin;  // containers: their references in refs()
    std::uint32_t count;     // containers: entries
    std::uint32_t replaces;  // the source object whose place it takes, or kNone
    std::uint32_t slot = 0;  // its number in the new file, as the writer places it
    Kind kind;
    bool wide = false;  // a string in UTF-16, not ASCII
    // Edits of a stored container in its own place: that container, whose references it
    // carries over but for those it drops (a dictionary's changed values, a list's dropped
    // elements); else kNone.
    std::uint32_t takesOver = kNone;
  };

  // `source` is the view that edits refer to; none for a tree.
  explicit Encoder(const View* source) : source_(source) {}

  // Collects what is to be encoded. False when the result could not be read back: a string
  // that is not UTF-8, a tree dictionary with a key twice, nesting past kMaxNestingDepth.
  bool collect(const Value& root);
  bool collect(const DictionaryEdit& root);

  std::uint32_t root() const { return root_; }
  std::vector<Node>& nodes() { return nodes_; }
  const std::vector<std::uint32_t>& refs() const { return refs_; }
  // Bounds on what the new file adds to the source's totals, at each use of a value; false
  // when an old value moved deeper than a reader accepts.
  std::uint64_t addedValues() const { return addedValues_; }
  std::uint64_t addedPayload() const { return addedPayload_; }
  bool depthKept() const { return depthKept_; }

  // Bytes of a node when references take `refSize` bytes.
  std::uint64_t size(const Node& node, unsigned refSize) const {
    const bool dict = node.kind == Kind::kDictionary;
    return node.kind < Kind::kArray
               ? node.bytes
               : node.bytes + std::uint64_t{dict ? 2u : 1u} * node.count * refSize;
  }
  // Writes a node at `p`, its references numbered by number(ref); returns where it ends.
  template <typename Number>
  std::uint8_t* put(std::uint8_t* p, const Node& node, unsigned refSize, Number number) const;

 private:
  // A container whose children are being collected.
  struct Frame {
    std::uint32_t node;
    const void* source;  // the Value, ListEdit or DictionaryEdit
    bool edit;
    std::uint32_t next = 0;   // children (of an edit: its changes or new values) collected so far
    std::uint32_t added = 0;  // dictionary edits: keys added so far
  };

  std::uint32_t addNode(const void* source, Kind kind, std::uint64_t bytes, std::uint32_t count = 0,
                        std::uint32_t replaces = kNone);
  std::uint32_t addString(const std::string& text);
  std::uint32_t addValue(const Value& value, std::uint32_t replaces = kNone);
  std::uint32_t addChange(const DictionaryEdit::Change& change, std::uint32_t replaces);
  std::uint32_t addDictionaryEdit(const DictionaryEdit& edit, std::uint32_t replaces);
  static std::uint32_t storedId(const DictionaryEdit::Change& change);
  bool openValue(const Value& value, std::uint32_t node);
  bool openDictionaryEdit(const DictionaryEdit& edit, std::uint32_t node);
  // `replacesItsOwn`: the edit takes the place of the list it was made from, so the elements it
  // keeps were already counted against the budgets in their old place.
  bool openListEdit(const ListEdit& list, std::uint32_t node, bool replacesItsOwn);
  bool step(Frame& frame);
  bool run();
  void charge(std::uint32_t ref);
  void chargeCopy(std::uint32_t id);
  std::uint8_t* putScalar(std::uint8_t* p, const Node& node) const;

  const View* source_;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> refs_;
  std::vector<Frame> frames_;
  std::unordered_map<std::string_view, std::uint32_t, KeyedHash> strings_;
  std::uint32_t bools_[2] = {kNone, kNone};
  std::uint32_t root_ = 0;
  std::uint64_t addedValues_ = 0;
  std::uint64_t addedPayload_ = 0;
  bool failed_ = false;
  bool depthKept_ = true;
};

template <typename Number>
std::uint8_t* Encoder::put(std::uint8_t* p, const Node& node, unsigned refSize,
                           Number number) const {
  if (node.kind < Kind::kArray) return putScalar(p, node);
  const bool dict = node.kind == Kind::kDictionary;
  p = binary::putHeader(p, dict ? binary::kDict : binary::kArray, node.count);
  const std::uint32_t* ref = refs_.data() + node.refBegin;
  const std::size_t refs = (dict ? 2 : 1) * std::size_t{node.count};
  // In a loop made for the width: a list may hold a long log.
  const auto putAll = [&](auto width) {
    for (std::size_t i = 0; i < refs; ++i) binary::storeBig(p + i * width, number(ref[i]), width);
    return p + refs * width;
  };
  switch (refSize) {
    case 1:
      return putAll(std::integral_constant<unsigned, 1>());
    case 2:
      return putAll(std::integral_constant<unsigned, 2>());
    case 4:
      return putAll(std::integral_constant<unsigned, 4>());
    default:
      return putAll(refSize);
  }
}

}  // namespace orvo::plist

#endif  // ORVO_PLATFORM_PLIST_BINARYENCODER_H_
