// Property-list values: what the defaults suite stores and hands out.
#ifndef ORVO_PLATFORM_PLIST_PROPERTYLIST_H_
#define ORVO_PLATFORM_PLIST_PROPERTYLIST_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace orvo::plist {

class Value;

// An integer of the range property lists carry, -2^63 to 2^64-1. Values from 2^63 on are
// kept apart so that they survive a round trip with their sign.
class Integer {
 public:
  constexpr Integer() = default;
  static constexpr Integer fromSigned(std::int64_t v) {
    return Integer(static_cast<std::uint64_t>(v), false);
  }
  static constexpr Integer fromUnsigned(std::uint64_t v) {
    return Integer(v, v > static_cast<std::uint64_t>(INT64_MAX));
  }
  // True when the value is 2^63 or more, so that bits() is to be read unsigned.
  constexpr bool beyondInt64() const { return beyond_; }
  constexpr std::uint64_t bits() const { return bits_; }
  constexpr std::int64_t asSigned() const { return static_cast<std::int64_t>(bits_); }
  constexpr double toDouble() const {
    return beyond_ ? static_cast<double>(bits_) : static_cast<double>(asSigned());
  }
  friend constexpr bool operator==(const Integer&, const Integer&) = default;

 private:
  constexpr Integer(std::uint64_t bits, bool beyond) : bits_(bits), beyond_(beyond) {}
  std::uint64_t bits_ = 0;
  bool beyond_ = false;
};

// Seconds since 2001-01-01 00:00 UTC, the epoch of property-list dates.
struct Date {
  double secondsSince2001 = 0;
  friend bool operator==(const Date&, const Date&) = default;
};

struct Data {
  std::vector<std::uint8_t> bytes;
  friend bool operator==(const Data&, const Data&) = default;
};

// The keyed-archive reference type; carried through untouched.
struct Uid {
  std::uint64_t value = 0;
  friend bool operator==(const Uid&, const Uid&) = default;
};

using Array = std::vector<Value>;

// A dictionary that keeps its keys in the order they were read or first set. Lookups cost the
// same whatever its size: past a few entries they go through a hash index, keyed per process so
// that no stored set of keys can make it degrade.
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;

  Dictionary();
  Dictionary(const Dictionary&);
  Dictionary(Dictionary&&) noexcept;
  Dictionary& operator=(const Dictionary&);
  Dictionary& operator=(Dictionary&&) noexcept;
  ~Dictionary();

  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // Replaces the value of an existing key in place, or appends the key at the end.
  void set(std::string key, Value value);
  // Appends without looking for the key; for readers, which check hasDuplicateKeys once the
  // dictionary is complete.
  void append(std::string key, Value value);
  void reserve(std::size_t n);
  bool hasDuplicateKeys() const;

  std::size_t size() const;
  bool empty() const;
  const std::vector<Entry>& entries() const { return entries_; }
  std::vector<Entry>::const_iterator begin() const;
  std::vector<Entry>::const_iterator end() const;

  friend bool operator==(const Dictionary&, const Dictionary&);

 private:
  std::optional<std::size_t> position(std::string_view key) const;
  void index(std::size_t position);
  void rebuildIndex();

  std::vector<Entry> entries_;
  // Open addressing: each slot holds an entry's position + 1, or 0 when free; empty while the
  // dictionary is small enough to scan.
  std::vector<std::uint32_t> slots_;
  bool duplicateKeys_ = false;  // met while indexing
};

class Value {
 public:
  using Storage =
      std::variant<std::string, double, Integer, bool, Date, Data, Uid, Array, Dictionary>;

  Value() : storage_(std::string()) {}
  // Made from any of its alternatives without ceremony, as a variant is.
  // NOLINTBEGIN(google-explicit-constructor)
  Value(std::string s) : storage_(std::move(s)) {}
  Value(const char* s) : storage_(std::string(s)) {}
  Value(double d) : storage_(d) {}
  Value(Integer i) : storage_(i) {}
  Value(bool b) : storage_(b) {}
  Value(Date d) : storage_(d) {}
  Value(Data d) : storage_(std::move(d)) {}
  Value(Uid u) : storage_(u) {}
  Value(Array a) : storage_(std::move(a)) {}
  Value(Dictionary d) : storage_(std::move(d)) {}
  // NOLINTEND(google-explicit-constructor)

  template <typename T>
  bool is() const {
    return std::holds_alternative<T>(storage_);
  }
  template <typename T>
  const T* as() const {
    return std::get_if<T>(&storage_);
  }
  template <typename T>
  T* as() {
    return std::get_if<T>(&storage_);
  }

  // A real or an integer read as a double; nothing for every other type.
  std::optional<double> number() const;

  const Storage& storage() const { return storage_; }
  friend bool operator==(const Value&, const Value&) = default;

 private:
  Storage storage_;
};

// Defined here because they need Value complete.
inline std::size_t Dictionary::size() const { return entries_.size(); }
inline bool Dictionary::empty() const { return entries_.empty(); }
inline std::vector<Dictionary::Entry>::const_iterator Dictionary::begin() const {
  return entries_.begin();
}
inline std::vector<Dictionary::Entry>::const_iterator Dictionary::end() const {
  return entries_.end();
}

// A hash of text under a key drawn once per process: the strings of a suite come from whoever
// wrote it, and an unkeyed hash would let them all land in one slot of a table.
struct KeyedHash {
  std::size_t operator()(std::string_view text) const;
};

// Codecs. Readers are strict: anything malformed gives no value rather than a guess, and any
// input is accepted or refused in bounded time, memory and stack depth.
inline constexpr std::size_t kMaxNestingDepth = 512;

// Dictionaries up to this size are scanned rather than hashed: a scan of a few keys is as fast.
inline constexpr std::size_t kLinearScanLimit = 8;

// Reads a binary ("bplist00") or XML property list whole, telling them apart by their first
// bytes; binary files through a View (PropertyListView.h), which is what the module reads them
// with.
std::optional<Value> readPropertyList(std::span<const std::uint8_t> bytes);
std::optional<Value> readXmlPropertyList(std::span<const std::uint8_t> bytes);
// Writes the binary format. Fails (no value) only for a value that the reader would refuse:
// one nested deeper than it accepts, a string that is not valid UTF-8, a dictionary with a key
// twice, one past its budgets.
std::optional<std::vector<std::uint8_t>> writeBinaryPropertyList(const Value& root);

}  // namespace orvo::plist

#endif  // ORVO_PLATFORM_PLIST_PROPERTYLIST_H_
