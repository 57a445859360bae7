#include "platform/plist/PropertyList.h"

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <bit>

#include "platform/plist/PropertyListView.h"

namespace orvo::plist {

Dictionary::Dictionary() = default;
Dictionary::Dictionary(const Dictionary&) = default;
Dictionary::Dictionary(Dictionary&&) noexcept = default;
Dictionary& Dictionary::operator=(const Dictionary&) = default;
Dictionary& Dictionary::operator=(Dictionary&&) noexcept = default;
Dictionary::~Dictionary() = default;

// SipHash-1-3.
std::size_t KeyedHash::operator()(std::string_view text) const {
  static const std::array<std::uint64_t, 2> key = [] {
    std::array<std::uint64_t, 2> k{};
    arc4random_buf(k.data(), sizeof k);
    return k;
  }();
  std::uint64_t v0 = 0x736f6d6570736575 ^ key[0], v1 = 0x646f72616e646f6d ^ key[1];
  std::uint64_t v2 = 0x6c7967656e657261 ^ key[0], v3 = 0x7465646279746573 ^ key[1];
  const auto round = [&] {
    v0 += v1, v1 = std::rotl(v1, 13), v1 ^= v0, v0 = std::rotl(v0, 32);
    v2 += v3, v3 = std::rotl(v3, 16), v3 ^= v2;
    v0 += v3, v3 = std::rotl(v3, 21), v3 ^= v0;
    v2 += v1, v1 = std::rotl(v1, 17), v1 ^= v2, v2 = std::rotl(v2, 32);
  };
  const auto absorb = [&](std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  };
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t m = 0;
    for (std::size_t b = 0; b < 8; ++b) {
      m |= std::uint64_t{static_cast<unsigned char>(text[i + b])} << (8 * b);
    }
    absorb(m);
  }
  std::uint64_t last = std::uint64_t{text.size()} << 56;
  for (std::size_t b = 0; i + b < text.size(); ++b) {
    last |= std::uint64_t{static_cast<unsigned char>(text[i + b])} << (8 * b);
  }
  absorb(last);
  v2 ^= 0xff;
  round(), round(), round();
  return v0 ^ v1 ^ v2 ^ v3;
}

std::optional<std::size_t> Dictionary::position(std::string_view key) const {
  if (slots_.empty()) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].first == key) return i;
    }
    return std::nullopt;
  }
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = KeyedHash()(key) & mask;; slot = (slot + 1) & mask) {
    if (slots_[slot] == 0) return std::nullopt;
    if (entries_[slots_[slot] - 1].first == key) return slots_[slot] - 1;
  }
}

// Files are capped far below 2^32 entries, so a position always fits a slot.
void Dictionary::index(std::size_t position) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = KeyedHash()(entries_[position].first) & mask;
  for (; slots_[slot] != 0; slot = (slot + 1) & mask) {
    if (entries_[slots_[slot] - 1].first == entries_[position].first) duplicateKeys_ = true;
  }
  slots_[slot] = static_cast<std::uint32_t>(position + 1);
}

// At most half the slots are taken, so probes stay short.
void Dictionary::rebuildIndex() {
  slots_.assign(std::bit_ceil(entries_.size() * 4), 0);
  duplicateKeys_ = false;
  for (std::size_t i = 0; i < entries_.size(); ++i) index(i);
}

const Value* Dictionary::find(std::string_view key) const {
  const std::optional<std::size_t> at = position(key);
  return at ? &entries_[*at].second : nullptr;
}

Value* Dictionary::find(std::string_view key) {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

void Dictionary::set(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
  } else {
    append(std::move(key), std::move(value));
  }
}

void Dictionary::append(std::string key, Value value) {
  entries_.emplace_back(std::move(key), std::move(value));
  if (entries_.size() <= kLinearScanLimit) return;
  if (entries_.size() * 2 > slots_.size()) {
    rebuildIndex();
  } else {
    index(entries_.size() - 1);
  }
}

void Dictionary::reserve(std::size_t n) { entries_.reserve(n); }

bool Dictionary::hasDuplicateKeys() const {
  if (!slots_.empty()) return duplicateKeys_;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    for (std::size_t j = i + 1; j < entries_.size(); ++j) {
      if (entries_[i].first == entries_[j].first) return true;
    }
  }
  return false;
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
    const std::optional<View> view = View::read(bytes);
    return view ? std::optional<Value>(view->root().toValue()) : std::nullopt;
  }
  return readXmlPropertyList(bytes);
}

}  // namespace orvo::plist
