// Changes to a property list read in a View, kept apart from it until they are written: the
// writer copies every object of the file that did not change and encodes only these. An edit
// holds handles on the view, which must outlive it.
#ifndef ORVO_PLATFORM_PLIST_PROPERTYLISTEDIT_H_
#define ORVO_PLATFORM_PLIST_PROPERTYLISTEDIT_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/plist/PropertyList.h"
#include "platform/plist/PropertyListView.h"

namespace orvo::plist {

// A list made of a stored array's elements, some of them dropped, followed by new values.
class ListEdit {
 public:
  ListEdit() = default;  // a new, empty list
  // Every element of `stored`, which must be an array.
  explicit ListEdit(Object stored) : stored_(stored) {}

  Object stored() const { return stored_; }
  void append(Value value) { appended_.push_back(std::move(value)); }

  // Keeps the elements, stored and appended, for which keep(element) holds, in their order;
  // `keep` is called with an Object for a stored element and a const Value& for a new one.
  template <typename Keep>
  void keepIf(Keep keep);

  // Calls visit(Object) for each stored element kept and visit(const Value&) for each new
  // one, in order.
  template <typename Visit>
  void forEach(Visit visit) const;

  std::size_t size() const { return stored_.size() - droppedCount_ + appended_.size(); }
  bool keeps(std::size_t storedPosition) const {
    return dropped_.empty() || dropped_[storedPosition] == 0;
  }
  const std::vector<Value>& appended() const { return appended_; }

 private:
  Object stored_;
  std::vector<std::uint8_t> dropped_;  // per stored element; empty while none is dropped
  std::size_t droppedCount_ = 0;
  std::vector<Value> appended_;
};

// Changes to a stored dictionary (or a new one): values replaced under their keys, keys added
// after the others, and changes inside the dictionaries it holds.
class DictionaryEdit {
 public:
  using Change = std::variant<Value, ListEdit, std::unique_ptr<DictionaryEdit>>;

  // `stored` must be a dictionary, or none for a new one.
  explicit DictionaryEdit(Object stored = {}) : stored_(stored) {}
  DictionaryEdit(DictionaryEdit&&) noexcept;
  DictionaryEdit& operator=(DictionaryEdit&&) noexcept;
  ~DictionaryEdit();

  Object stored() const { return stored_; }
  bool empty() const { return changes_.empty(); }

  // Replaces the value under `key`, where it stands, or adds it after the other keys.
  void set(std::string_view key, Value value);
  void set(std::string_view key, ListEdit list);

  // The changes to the stored dictionary under `key`, begun on first use. None when the key is
  // not stored, does not hold a dictionary, or was given a whole new value.
  DictionaryEdit* edit(std::string_view key);

  // For the writer: each change with the position of the stored entry it replaces (none for
  // an added key), in the order the changes were first made.
  struct Entry {
    std::optional<std::size_t> position;
    std::string key;
    Change change;
  };
  const std::vector<Entry>& entries() const { return changes_; }

 private:
  Change& changeFor(std::string_view key);

  Object stored_;
  std::vector<Entry> changes_;
  std::unordered_map<std::string, std::size_t> byKey_;  // entry of each key in changes_
};

// A file as a writer made it: pieces in order, each of the source's bytes (which must outlive
// it) or of its own, so that what did not change is written from where it was read.
class Written {
 public:
  const std::vector<std::span<const std::uint8_t>>& pieces() const { return pieces_; }
  std::size_t size() const { return size_; }
  // The pieces joined, taken from it where it holds them all.
  std::vector<std::uint8_t> joined() const;
  std::vector<std::uint8_t> bytes() &&;

 private:
  friend class Writer;
  void add(std::span<const std::uint8_t> piece);

  std::vector<std::uint8_t> owned_;
  std::vector<std::span<const std::uint8_t>> pieces_;
  std::size_t size_ = 0;
};

// Writes the file of `source` (read for an update) with `changes` made to its top dictionary,
// copying every object that did not change; none when the result would not read back. With no
// source, `changes` has no stored dictionary and the file is new.
std::optional<Written> writeBinaryPropertyList(const View* source, const DictionaryEdit& changes);

template <typename Keep>
void ListEdit::keepIf(Keep keep) {
  const Object::Elements stored = stored_.elements();
  std::size_t i = 0;
  for (const Object element : stored) {
    if (keeps(i) && !keep(element)) {
      if (dropped_.empty()) dropped_.assign(stored.size(), 0);
      dropped_[i] = 1;
      ++droppedCount_;
    }
    ++i;
  }
  std::erase_if(appended_, [&keep](const Value& value) { return !keep(value); });
}

template <typename Visit>
void ListEdit::forEach(Visit visit) const {
  std::size_t i = 0;
  for (const Object element : stored_.elements()) {
    if (keeps(i++)) visit(element);
  }
  for (const Value& value : appended_) visit(value);
}

}  // namespace orvo::plist

#endif  // ORVO_PLATFORM_PLIST_PROPERTYLISTEDIT_H_
