// A binary property list read in place. View::read checks the whole file once, as strictly as
// any reader of the suite must (every offset, length, reference and string encoding; no cycle,
// no nesting past kMaxNestingDepth, no expansion past the budgets, no duplicate or non-string
// key), and keeps beside the bytes only a word per object and a hash index per large
// dictionary. Handles on its values (Object) then decode only what they are asked for: a
// lookup costs the same whatever the file holds, and nothing is allocated per stored value.
//
// The view does not own the bytes: they must outlive it, and a handle must not outlive its view.
#ifndef ORVO_PLATFORM_PLIST_PROPERTYLISTVIEW_H_
#define ORVO_PLATFORM_PLIST_PROPERTYLISTVIEW_H_

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plist/BinaryFormat.h"
#include "platform/plist/PropertyList.h"

namespace orvo::plist {

// Containers come last, which writers rely on.
enum class Kind : std::uint8_t {
  kString,
  kReal,
  kInteger,
  kBool,
  kDate,
  kData,
  kUid,
  kArray,
  kDictionary,
};

class View;

// Where an object's contents start (past its marker and length), and their length in units:
// bytes, UTF-16 units or entries.
struct Contents {
  const std::uint8_t* at;
  std::uint64_t length;
};

// One value of a view, or none (a default handle, or the result of a lookup that found
// nothing). Accessors of another kind than the value's give none, 0 or an empty handle.
class Object {
 public:
  Object() = default;
  explicit operator bool() const { return view_ != nullptr; }
  std::optional<Kind> kind() const;
  bool is(Kind kind) const { return this->kind() == kind; }

  // A real or an integer, as a double.
  std::optional<double> number() const;
  std::optional<Integer> integer() const;
  std::optional<bool> boolean() const;
  std::optional<Date> date() const;
  std::optional<std::span<const std::uint8_t>> data() const;
  std::optional<Uid> uid() const;
  // A string's text: in place when it is stored as ASCII, else decoded into `scratch`.
  std::optional<std::string_view> text(std::string& scratch) const;
  std::optional<std::string> string() const;
  // Whether this is a string holding exactly `utf8`.
  bool textEquals(std::string_view utf8) const;

  // Entries of an array or a dictionary; 0 for anything else.
  std::size_t size() const;
  Object element(std::size_t i) const;  // arrays
  // The elements of an array in order (none for anything else), its header read once.
  class Elements;
  Elements elements() const;
  Object last() const;              // arrays: the last element
  Object key(std::size_t i) const;  // dictionaries, in their stored order
  Object value(std::size_t i) const;
  // Where `key` stands among a dictionary's entries, and the value there.
  std::optional<std::size_t> position(std::string_view key) const;
  Object find(std::string_view key) const;

  // A tree copy, shared values copied at each use; for tools and tests.
  Value toValue() const;

  // The object's number in its file, which writers copy it by.
  std::uint32_t id() const { return id_; }
  const View* view() const { return view_; }

  friend bool operator==(const Object&, const Object&) = default;

 private:
  friend class View;
  template <typename Visitor>
  friend bool walk(const Object& value, Visitor& visitor);
  Object(const View* view, std::uint32_t id) : view_(view), id_(id) {}
  std::optional<double> numberOtherThanReal64() const;
  // The marker, which tells the kind; null for no value.
  const std::uint8_t* marker() const;
  // References of a container whose marker has the high half `kind`; none for anything else.
  std::optional<Contents> references(std::uint8_t kind) const;

  const View* view_ = nullptr;
  std::uint32_t id_ = 0;
};

class View {
 public:
  // An update's view also counts the references to each object and notes whether the file is
  // laid out as writers lay it out, which its writer needs to copy what did not change.
  enum class Purpose { kRead, kUpdate };

  // None when the bytes are not a binary property list that passes every check.
  static std::optional<View> read(std::span<const std::uint8_t> bytes,
                                  Purpose purpose = Purpose::kRead);

  View(View&&) noexcept;
  View& operator=(View&&) noexcept;
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  ~View();

  Object root() const { return Object(this, top_); }
  std::span<const std::uint8_t> bytes() const { return {begin_, size_}; }

 private:
  friend class Object;
  template <typename Visitor>
  friend bool walk(const Object& value, Visitor& visitor);
  friend class Validator;
  friend class Encoder;
  friend class Writer;

  // What validation found below one container, each shared value counted at each use.
  struct Container {
    std::uint64_t values = 0;
    std::uint64_t payload = 0;  // bytes of strings and data
    std::uint32_t slots = 0;    // large dictionaries: where their hash index starts in slots_
    std::uint32_t height = 0;   // containers on the longest path down, this one included
  };

  // The two top bits of a state word: what the rest of it holds.
  static constexpr std::uint32_t kScalarDone = 1u << 30;  // a string's or data's payload
  static constexpr std::uint32_t kOpen = 2u << 30;        // a container being checked
  static constexpr std::uint32_t kClosed = 3u << 30;      // a container checked
  static constexpr std::uint32_t kTagMask = 3u << 30;

  View() = default;
  std::uint64_t offsetOf(std::uint32_t id) const {
    return binary::loadBigPadded(table_ + std::size_t{id} * offsetSize_, offsetShift_);
  }
  const std::uint8_t* objectAt(std::uint32_t id) const { return begin_ + offsetOf(id); }
  Contents contents(std::uint32_t id) const {
    const std::uint8_t* p = objectAt(id);
    const std::uint8_t marker = *p++;
    std::uint64_t length = 0;
    binary::readLength(p, table_, marker, length);
    return {p, length};
  }
  std::uint64_t refAt(const std::uint8_t* refs, std::size_t i) const {
    return binary::loadBigPadded(refs + i * refSize_, refShift_);
  }
  const Container& containerOf(std::uint32_t id) const {
    return containers_[states_[id] & ~kTagMask];
  }
  std::optional<std::size_t> positionOf(std::uint32_t dict, std::string_view key) const;
  // Whether two string objects hold the same text.
  bool sameText(std::uint32_t a, std::uint32_t b, std::string& scratchA,
                std::string& scratchB) const;
  std::string_view textOf(std::uint32_t id, std::string& scratch) const;

  const std::uint8_t* begin_ = nullptr;
  std::size_t size_ = 0;
  const std::uint8_t* table_ = nullptr;  // the offset table, which ends the objects
  std::uint32_t objectCount_ = 0;
  std::uint32_t top_ = 0;
  unsigned offsetSize_ = 0;
  unsigned refSize_ = 0;
  unsigned offsetShift_ = 0;  // 64 less the bits of an offset, for loadBigPadded
  unsigned refShift_ = 0;

  // Per object: 0 until validated; then, for strings and data, their payload, and for
  // containers, their entry in containers_ (the top bits tell which).
  std::vector<std::uint32_t> states_;
  std::vector<Container> containers_;
  // Hash indexes of dictionaries larger than a scan: an entry's position + 1, or 0 when free.
  std::vector<std::uint32_t> slots_;
  // The file's own totals, which the budgets bound.
  std::uint64_t values_ = 0;
  std::uint64_t payload_ = 0;
  std::uint32_t height_ = 0;

  // Updates only: references to each object from the containers that the top object reaches
  // (the top counts one, from the trailer), saturating at 255; and whether every object is
  // reachable and the objects tile the space between the header and the offset table in the
  // order of their numbers.
  std::vector<std::uint8_t> references_;
  bool canonical_ = false;
};

// The kind of each high half of a marker; those no checked object has map to anything.
inline std::optional<Kind> Object::kind() const {
  static constexpr Kind kKinds[16] = {Kind::kBool,  Kind::kInteger,    Kind::kReal,   Kind::kDate,
                                      Kind::kData,  Kind::kString,     Kind::kString, Kind::kData,
                                      Kind::kUid,   Kind::kArray,      Kind::kArray,  Kind::kArray,
                                      Kind::kArray, Kind::kDictionary, Kind::kArray,  Kind::kArray};
  if (view_ == nullptr) return std::nullopt;
  return kKinds[*view_->objectAt(id_) >> 4];
}

// Reals are most of what a registry holds: read in place.
inline std::optional<double> Object::number() const {
  if (view_ != nullptr) {
    const std::uint8_t* p = view_->objectAt(id_);
    if (*p == binary::kReal64) return std::bit_cast<double>(binary::loadBig(p + 1, 8));
  }
  return numberOtherThanReal64();
}

class Object::Elements {
 public:
  class Iterator {
   public:
    Object operator*() const {
      return Object(range_->view_,
                    static_cast<std::uint32_t>(range_->view_->refAt(range_->refs_, i_)));
    }
    Iterator& operator++() {
      ++i_;
      return *this;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.i_ == b.i_; }

   private:
    friend class Elements;
    Iterator(const Elements* range, std::size_t i) : range_(range), i_(i) {}
    const Elements* range_;
    std::size_t i_;
  };
  Iterator begin() const { return {this, 0}; }
  Iterator end() const { return {this, count_}; }
  std::size_t size() const { return count_; }

 private:
  friend class Object;
  Elements(const View* view, const std::uint8_t* refs, std::size_t count)
      : view_(view), refs_(refs), count_(count) {}
  const View* view_;
  const std::uint8_t* refs_;
  std::size_t count_;
};

inline Object::Elements Object::elements() const {
  if (view_ == nullptr || (*view_->objectAt(id_) >> 4) != binary::kArrayKind)
    return {view_, nullptr, 0};
  const Contents refs = view_->contents(id_);
  return {view_, refs.at, static_cast<std::size_t>(refs.length)};
}

// Visits `value` and all it holds, depth first, with a stack of its own: a file may nest as
// deep as the reader allows. The visitor's members get each value with its depth (0 for
// `value`): scalar(Object, depth) for a value that holds none; open(container, depth) and
// close(container, depth) around a container's entries; entry(container, i, key, depth)
// before entry i (with its key in a dictionary, else no value) and after(container, last,
// depth) once it is visited. Any of them returning false ends the walk, which then returns
// false.
template <typename Visitor>
bool walk(const Object& value, Visitor& visitor) {
  const auto isContainer = [](const Object& o) {
    return o.is(Kind::kArray) || o.is(Kind::kDictionary);
  };
  if (!isContainer(value)) return visitor.scalar(value, 0);
  struct Frame {
    Object container;
    Contents refs;  // read once
    bool dict;
    std::size_t next;
  };
  const View* view = value.view_;
  const auto frameOf = [view](const Object& container) {
    return Frame{container, view->contents(container.id_), container.is(Kind::kDictionary), 0};
  };
  std::vector<Frame> frames{frameOf(value)};
  if (!visitor.open(value, 0)) return false;
  while (!frames.empty()) {
    const Frame frame = frames.back();
    const int depth = static_cast<int>(frames.size()) - 1;
    const std::size_t i = frames.back().next++;
    if (i == frame.refs.length) {
      frames.pop_back();
      if (!visitor.close(frame.container, depth)) return false;
      if (!frames.empty() &&
          !visitor.after(frames.back().container, frames.back().next == frames.back().refs.length,
                         depth - 1)) {
        return false;
      }
      continue;
    }
    const auto at = [&](std::size_t k) {
      return Object(view, static_cast<std::uint32_t>(view->refAt(frame.refs.at, k)));
    };
    const Object key = frame.dict ? at(i) : Object();
    if (!visitor.entry(frame.container, i, key, depth)) return false;
    const Object child = frame.dict ? at(frame.refs.length + i) : at(i);
    if (isContainer(child)) {
      if (!visitor.open(child, depth + 1)) return false;
      frames.push_back(frameOf(child));
    } else if (!visitor.scalar(child, depth + 1) ||
               !visitor.after(frame.container, i + 1 == frame.refs.length, depth)) {
      return false;
    }
  }
  return true;
}

}  // namespace orvo::plist

#endif  // ORVO_PLATFORM_PLIST_PROPERTYLISTVIEW_H_
