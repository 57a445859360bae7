#include "platform/PropertyList.h"

#include <algorithm>

namespace orvo::plist {

Dictionary::Dictionary() = default;
Dictionary::Dictionary(const Dictionary&) = default;
Dictionary::Dictionary(Dictionary&&) noexcept = default;
Dictionary& Dictionary::operator=(const Dictionary&) = default;
Dictionary& Dictionary::operator=(Dictionary&&) noexcept = default;
Dictionary::~Dictionary() = default;

const Value* Dictionary::find(std::string_view key) const {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [key](const Entry& e) { return e.first == key; });
  return it == entries_.end() ? nullptr : &it->second;
}

Value* Dictionary::find(std::string_view key) {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

void Dictionary::set(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
  } else {
    entries_.emplace_back(std::move(key), std::move(value));
  }
}

void Dictionary::append(std::string key, Value value) {
  entries_.emplace_back(std::move(key), std::move(value));
}

void Dictionary::reserve(std::size_t n) { entries_.reserve(n); }

bool Dictionary::hasDuplicateKeys() const {
  // Pairwise for the small dictionaries that are the rule, sorted views past that.
  if (entries_.size() <= 8) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      for (std::size_t j = i + 1; j < entries_.size(); ++j) {
        if (entries_[i].first == entries_[j].first) return true;
      }
    }
    return false;
  }
  std::vector<std::string_view> keys;
  keys.reserve(entries_.size());
  for (const Entry& entry : entries_) keys.emplace_back(entry.first);
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

bool operator==(const Dictionary& a, const Dictionary& b) { return a.entries_ == b.entries_; }

std::optional<double> Value::number() const {
  if (const double* d = as<double>()) return *d;
  if (const Integer* i = as<Integer>()) return i->toDouble();
  return std::nullopt;
}

std::optional<Value> readPropertyList(std::span<const std::uint8_t> bytes) {
  static constexpr std::string_view kBinaryMagic = "bplist00";
  if (bytes.size() >= kBinaryMagic.size() &&
      std::equal(kBinaryMagic.begin(), kBinaryMagic.end(), bytes.begin())) {
    return readBinaryPropertyList(bytes);
  }
  return readXmlPropertyList(bytes);
}

}  // namespace orvo::plist
