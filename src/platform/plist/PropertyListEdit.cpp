#include "platform/plist/PropertyListEdit.h"

#include <algorithm>

namespace orvo::plist {

DictionaryEdit::DictionaryEdit(DictionaryEdit&&) noexcept = default;
DictionaryEdit& DictionaryEdit::operator=(DictionaryEdit&&) noexcept = default;
DictionaryEdit::~DictionaryEdit() = default;

// A key is looked up in the stored dictionary once, when it is first changed.
DictionaryEdit::Change& DictionaryEdit::changeFor(std::string_view key) {
  auto [at, added] = byKey_.try_emplace(std::string(key), changes_.size());
  if (added) changes_.push_back({stored_.position(key), std::string(key), Value()});
  return changes_[at->second].change;
}

void DictionaryEdit::set(std::string_view key, Value value) { changeFor(key) = std::move(value); }

void DictionaryEdit::set(std::string_view key, ListEdit list) { changeFor(key) = std::move(list); }

DictionaryEdit* DictionaryEdit::edit(std::string_view key) {
  if (const auto at = byKey_.find(std::string(key)); at != byKey_.end()) {
    auto* nested = std::get_if<std::unique_ptr<DictionaryEdit>>(&changes_[at->second].change);
    return nested ? nested->get() : nullptr;
  }
  const Object stored = stored_.find(key);
  if (!stored.is(Kind::kDictionary)) return nullptr;
  return changeFor(key)
      .emplace<std::unique_ptr<DictionaryEdit>>(std::make_unique<DictionaryEdit>(stored))
      .get();
}

}  // namespace orvo::plist
