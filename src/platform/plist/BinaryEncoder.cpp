// Collecting the objects a write encodes, each in its smallest form, short strings shared; and
// nothing collected that a reader would refuse. Containers are walked with a stack of our own.
#include "platform/plist/BinaryEncoder.h"

#include <bit>

#include "platform/Utf8.h"

namespace orvo::plist {

using namespace binary;

std::uint32_t Encoder::addNode(const void* source, Kind kind, std::uint64_t bytes,
                               std::uint32_t count, std::uint32_t replaces) {
  if (nodes_.size() >= kNode - 1) {
    failed_ = true;
    return kNone;
  }
  std::uint32_t refBegin = 0;
  if (kind >= Kind::kArray) {
    const std::size_t slots = (kind == Kind::kDictionary ? 2 : 1) * std::size_t{count};
    refBegin = static_cast<std::uint32_t>(refs_.size());
    refs_.resize(refs_.size() + slots);
    addedValues_ += slots;
  }
  nodes_.push_back({source, bytes, refBegin, count, replaces, 0, kind});
  return kNode | static_cast<std::uint32_t>(nodes_.size() - 1);
}

// Shared only when short, which keeps a file inside the payload budget: every use of a
// shared string costs at least a reference byte.
std::uint32_t Encoder::addString(const std::string& text) {
  const bool shared = text.size() <= kMaxSharedStringBytes;
  if (shared) {
    if (auto it = strings_.find(text); it != strings_.end()) return it->second;
  }
  std::uint8_t any = 0;
  for (const char c : text) any |= static_cast<std::uint8_t>(c);
  std::uint32_t ref = 0;
  if (any < 0x80) {
    ref = addNode(&text, Kind::kString, headerBytes(text.size()) + text.size());
  } else {
    if (!isValidUtf8(text)) {
      failed_ = true;
      return kNone;
    }
    const std::uint64_t units = utf16UnitsOf(text);
    ref = addNode(&text, Kind::kString, headerBytes(units) + 2 * units);
    nodes_.back().wide = true;
  }
  if (shared) strings_.emplace(text, ref);
  return ref;
}

std::uint32_t Encoder::addValue(const Value& value, std::uint32_t replaces) {
  switch (value.storage().index()) {
    case 0:
      return addString(*value.as<std::string>());
    case 1:
      return addNode(&value, Kind::kReal, 9, 0, replaces);
    case 2: {
      const Integer i = *value.as<Integer>();
      const std::uint64_t bytes = i.beyondInt64()    ? 17
                                  : i.asSigned() < 0 ? 9
                                                     : 1 + widthFor(i.bits());
      return addNode(&value, Kind::kInteger, bytes, 0, replaces);
    }
    case 3: {
      std::uint32_t& shared = bools_[*value.as<bool>() ? 1 : 0];
      if (shared == kNone) shared = addNode(&value, Kind::kBool, 1, 0, replaces);
      return shared;
    }
    case 4:
      return addNode(&value, Kind::kDate, 9, 0, replaces);
    case 5: {
      const std::size_t size = value.as<Data>()->bytes.size();
      return addNode(&value, Kind::kData, headerBytes(size) + size, 0, replaces);
    }
    case 6:
      return addNode(&value, Kind::kUid, 1 + widthFor(value.as<Uid>()->value), 0, replaces);
    case 7: {
      const auto count = static_cast<std::uint32_t>(value.as<Array>()->size());
      return addNode(&value, Kind::kArray, headerBytes(count), count, replaces);
    }
    default: {
      const auto count = static_cast<std::uint32_t>(value.as<Dictionary>()->size());
      return addNode(&value, Kind::kDictionary, headerBytes(count), count, replaces);
    }
  }
}

std::uint32_t Encoder::addChange(const DictionaryEdit::Change& change, std::uint32_t replaces) {
  if (const Value* value = std::get_if<Value>(&change)) return addValue(*value, replaces);
  std::uint32_t ref = 0;
  if (const ListEdit* list = std::get_if<ListEdit>(&change)) {
    const auto count = static_cast<std::uint32_t>(list->size());
    ref = addNode(list, Kind::kArray, headerBytes(count), count, replaces);
  } else {
    ref = addDictionaryEdit(*std::get<std::unique_ptr<DictionaryEdit>>(change), replaces);
  }
  if (!failed_ && replaces != kNone && replaces == storedId(change)) {
    nodes_[ref & ~kNode].takesOver = replaces;
  }
  return ref;
}

std::uint32_t Encoder::addDictionaryEdit(const DictionaryEdit& edit, std::uint32_t replaces) {
  std::uint32_t added = 0;
  for (const auto& entry : edit.entries()) added += !entry.position;
  const auto count = static_cast<std::uint32_t>(edit.stored().size() + added);
  return addNode(&edit, Kind::kDictionary, headerBytes(count), count, replaces);
}

// The stored container an edit is made of; kNone for a new value.
std::uint32_t Encoder::storedId(const DictionaryEdit::Change& change) {
  Object stored;
  if (const ListEdit* list = std::get_if<ListEdit>(&change)) {
    stored = list->stored();
  } else if (const auto* edit = std::get_if<std::unique_ptr<DictionaryEdit>>(&change)) {
    stored = (*edit)->stored();
  }
  return stored ? stored.id() : kNone;
}

// Every use of a new string or data counts its bytes towards the payload budget, as a reader
// counts them.
void Encoder::charge(std::uint32_t ref) {
  if ((ref & kNode) == 0 || failed_) return;
  const Node& node = nodes_[ref & ~kNode];
  if (node.kind == Kind::kString && !node.wide) {
    addedPayload_ += static_cast<const std::string*>(node.source)->size();
  } else if (node.kind == Kind::kString) {
    const std::string& text = *static_cast<const std::string*>(node.source);
    addedPayload_ += std::max<std::uint64_t>(2 * utf16UnitsOf(text), text.size());
  } else if (node.kind == Kind::kData) {
    addedPayload_ += static_cast<const Value*>(node.source)->as<Data>()->bytes.size();
  }
}

// A stored value given a second place adds all it holds to the totals, and must not end up
// deeper than a reader accepts.
void Encoder::chargeCopy(std::uint32_t id) {
  const std::uint32_t state = source_->states_[id];
  if ((state & View::kTagMask) == View::kScalarDone) {
    addedPayload_ += state & ~View::kTagMask;
  } else if ((state & View::kTagMask) == View::kClosed) {
    const View::Container& held = source_->containerOf(id);
    addedValues_ += held.values;
    addedPayload_ += held.payload;
    depthKept_ &= frames_.size() + held.height <= kMaxNestingDepth;
  }
}

bool Encoder::openValue(const Value& value, std::uint32_t node) {
  if (frames_.size() >= kMaxNestingDepth) return false;
  frames_.push_back({node, &value, false});
  if (const Dictionary* dict = value.as<Dictionary>()) {
    if (dict->hasDuplicateKeys()) return false;
    std::uint32_t* keys = refs_.data() + nodes_[node].refBegin;
    for (const auto& entry : *dict) charge(*keys++ = addString(entry.first));
  }
  return !failed_;
}

// The stored keys and the values that do not change are copied; added keys are encoded now,
// changed values as the frame reaches them.
bool Encoder::openDictionaryEdit(const DictionaryEdit& edit, std::uint32_t node) {
  if (frames_.size() >= kMaxNestingDepth) return false;
  frames_.push_back({node, &edit, true});
  const Node& n = nodes_[node];
  std::uint32_t* keys = refs_.data() + n.refBegin;
  if (edit.stored()) {
    const Contents stored = source_->contents(edit.stored().id());
    for (std::size_t i = 0; i < 2 * stored.length; ++i) {
      const auto ref = static_cast<std::uint32_t>(source_->refAt(stored.at, i));
      keys[i < stored.length ? i : i - stored.length + n.count] = ref;
    }
    keys += stored.length;
  }
  for (const auto& entry : edit.entries()) {
    if (!entry.position) charge(*keys++ = addString(entry.key));
  }
  return !failed_;
}

bool Encoder::openListEdit(const ListEdit& list, std::uint32_t node, bool replacesItsOwn) {
  if (frames_.size() >= kMaxNestingDepth) return false;
  frames_.push_back({node, &list, true});
  std::uint32_t* elements = refs_.data() + nodes_[node].refBegin;
  const Object stored = list.stored();
  if (!stored) return true;
  const Contents refs = source_->contents(stored.id());
  for (std::size_t i = 0; i < refs.length; ++i) {
    if (!list.keeps(i)) continue;
    *elements = static_cast<std::uint32_t>(source_->refAt(refs.at, i));
    if (!replacesItsOwn) chargeCopy(*elements);
    ++elements;
  }
  return true;
}

// Collects the next child of the top frame, opening it when it is a container; false when the
// frame has no child left.
bool Encoder::step(Frame& frame) {
  const std::uint32_t i = frame.next++;
  const Node node = nodes_[frame.node];  // a copy: nodes_ grows below
  const bool dict = node.kind == Kind::kDictionary;
  std::size_t slot = node.refBegin + (dict ? node.count : 0);
  const Value* value = nullptr;
  const DictionaryEdit::Change* change = nullptr;
  std::uint32_t replaced = kNone;
  if (!frame.edit) {
    const Value& container = *static_cast<const Value*>(frame.source);
    if (i == node.count) return false;
    value = dict ? &container.as<Dictionary>()->entries()[i].second : &(*container.as<Array>())[i];
    slot += i;
  } else if (!dict) {
    const auto& appended = static_cast<const ListEdit*>(frame.source)->appended();
    if (i == appended.size()) return false;
    value = &appended[i];
    slot += node.count - appended.size() + i;
  } else {
    const auto& edit = *static_cast<const DictionaryEdit*>(frame.source);
    if (i == edit.entries().size()) return false;
    const DictionaryEdit::Entry& entry = edit.entries()[i];
    slot += entry.position ? *entry.position : edit.stored().size() + frame.added++;
    if (entry.position) replaced = refs_[slot];
    change = &entry.change;
    value = std::get_if<Value>(change);
  }
  const std::uint32_t ref = change ? addChange(*change, replaced) : addValue(*value);
  refs_[slot] = ref;
  charge(ref);
  if (failed_) return true;
  // A push may move `frame`: nothing of it is used after this.
  const std::uint32_t index = ref & ~kNode;
  if (value != nullptr) {
    if (value->is<Array>() || value->is<Dictionary>()) failed_ |= !openValue(*value, index);
  } else if (const ListEdit* list = std::get_if<ListEdit>(change)) {
    const bool replacesItsOwn = list->stored() && replaced == list->stored().id();
    failed_ |= !openListEdit(*list, index, replacesItsOwn);
  } else {
    failed_ |= !openDictionaryEdit(*std::get<std::unique_ptr<DictionaryEdit>>(*change), index);
  }
  return true;
}

bool Encoder::run() {
  while (!failed_ && !frames_.empty()) {
    if (!step(frames_.back())) frames_.pop_back();
  }
  return !failed_;
}

bool Encoder::collect(const Value& root) {
  root_ = addValue(root);
  if (!failed_ && (root.is<Array>() || root.is<Dictionary>())) {
    failed_ |= !openValue(root, root_ & ~kNode);
  }
  return run();
}

bool Encoder::collect(const DictionaryEdit& root) {
  const std::uint32_t stored = root.stored() ? root.stored().id() : kNone;
  root_ = addDictionaryEdit(root, stored);
  if (!failed_) nodes_[root_ & ~kNode].takesOver = stored;
  failed_ = failed_ || !openDictionaryEdit(root, root_ & ~kNode);
  return run();
}

std::uint8_t* Encoder::putScalar(std::uint8_t* p, const Node& node) const {
  const auto* value = static_cast<const Value*>(node.source);
  switch (node.kind) {
    case Kind::kString: {
      const auto* text = static_cast<const std::string*>(node.source);
      if (node.wide) return putUtf16BigEndian(putHeader(p, kUtf16, utf16UnitsOf(*text)), *text);
      return std::copy(text->begin(), text->end(), putHeader(p, kAscii, text->size()));
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
      return std::copy(bytes.begin(), bytes.end(), p);
    }
    default: {
      const std::uint64_t v = value->as<Uid>()->value;
      const unsigned width = widthFor(v);
      *p = static_cast<std::uint8_t>(kUid | (width - 1));
      storeBig(p + 1, v, width);
      return p + 1 + width;
    }
  }
}

}  // namespace orvo::plist
