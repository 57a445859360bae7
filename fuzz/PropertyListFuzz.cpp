// Any input, binary or XML: what the reader accepts nests no deeper than it promises; the
// writer writes it to bytes that read back to the same value and rewrite to the same bytes. A
// binary file with a dictionary on top is also updated as the suite is: copied unchanged, it
// reads back the same and copies again to the very same bytes; changed, it reads back as the
// same change made to its tree.
#include <algorithm>
#include <span>

#include "FuzzSupport.h"
#include "platform/plist/PropertyList.h"
#include "platform/plist/PropertyListEdit.h"
#include "platform/plist/PropertyListView.h"

namespace {

namespace plist = orvo::plist;
using Bytes = std::vector<std::uint8_t>;

// Containers on the deepest path; scalars count for nothing.
std::size_t nesting(const plist::Value& value) {
  std::size_t deepest = 0;
  if (const auto* array = value.as<plist::Array>()) {
    for (const auto& element : *array) deepest = std::max(deepest, nesting(element));
  } else if (const auto* dictionary = value.as<plist::Dictionary>()) {
    for (const auto& entry : *dictionary) deepest = std::max(deepest, nesting(entry.second));
  } else {
    return 0;
  }
  return deepest + 1;
}

// The tree writer's bytes of a value: equal values give equal bytes, NaN included.
std::optional<Bytes> canonical(std::span<const std::uint8_t> file) {
  const auto value = plist::readPropertyList(file);
  return value ? plist::writeBinaryPropertyList(*value) : std::nullopt;
}

// Makes one change per top-level entry, chosen by `choice`, to the file and to its tree alike:
// none, a new value, a list with every other element dropped and one appended, a dictionary
// with its first key given a new value and a key added.
void change(const plist::Object& root, plist::DictionaryEdit& top, plist::Dictionary& tree,
            std::size_t choice) {
  for (std::size_t i = 0; i < root.size() && i < 16; ++i, choice /= 4) {
    const std::string key = *root.key(i).string();
    const plist::Object stored = root.value(i);
    plist::Value& value = *tree.find(key);
    if (choice % 4 == 1) {
      top.set(key, 1.0 * i);
      value = 1.0 * i;
    } else if (choice % 4 == 2 && stored.is(plist::Kind::kArray)) {
      plist::ListEdit list(stored);
      bool odd = false;
      list.keepIf([&odd](const auto&) { return odd = !odd; });
      list.append(plist::Value("appended"));
      top.set(key, std::move(list));
      plist::Array& array = *value.as<plist::Array>();
      for (std::size_t at = 1; at < array.size(); ++at) array.erase(array.begin() + at);
      array.emplace_back("appended");
    } else if (choice % 4 == 3 && stored.is(plist::Kind::kDictionary) && stored.size() > 0) {
      plist::DictionaryEdit& nested = *top.edit(key);
      const std::string first = *stored.key(0).string();
      nested.set(first, true);
      nested.set("added", plist::Array{plist::Value(2.5)});
      value.as<plist::Dictionary>()->set(first, true);
      value.as<plist::Dictionary>()->set("added", plist::Array{plist::Value(2.5)});
    }
  }
  top.set("new", plist::Integer::fromSigned(-7));
  tree.set("new", plist::Integer::fromSigned(-7));
}

void checkUpdates(std::span<const std::uint8_t> input, const Bytes& written) {
  const auto view = plist::View::read(input, plist::View::Purpose::kUpdate);
  if (!view || !view->root().is(plist::Kind::kDictionary)) return;
  const auto rewrite = [](const plist::View& file, const plist::DictionaryEdit& changes) {
    const auto out = plist::writeBinaryPropertyList(&file, changes);
    return out ? std::optional<Bytes>(out->joined()) : std::nullopt;
  };
  const auto copy = rewrite(*view, plist::DictionaryEdit(view->root()));
  FUZZ_CHECK(copy && canonical(*copy) == written);
  const auto copied = plist::View::read(*copy, plist::View::Purpose::kUpdate);
  FUZZ_CHECK(copied && rewrite(*copied, plist::DictionaryEdit(copied->root())) == copy);

  plist::DictionaryEdit top(view->root());
  plist::Value tree = view->root().toValue();
  change(
      view->root(), top, *tree.as<plist::Dictionary>(),
      std::hash<std::string_view>()({reinterpret_cast<const char*>(input.data()), input.size()}));
  // A change may only be refused where it passes what a reader accepts.
  if (const auto changed = rewrite(*view, top)) {
    FUZZ_CHECK(canonical(*changed) == plist::writeBinaryPropertyList(tree));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto value = plist::readPropertyList(std::span(data, size));
  if (!value) return 0;
  FUZZ_CHECK(nesting(*value) <= plist::kMaxNestingDepth);
  const auto written = plist::writeBinaryPropertyList(*value);
  // Compared as bytes, where NaN equals itself.
  FUZZ_CHECK(written && canonical(*written) == written);
  checkUpdates(std::span(data, size), *written);
  return 0;
}
