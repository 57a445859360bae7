#include "store/PlayerStore.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "platform/Utf8.h"
#include "store/AppGroupStore.h"

namespace orvo::store {
namespace {

// Finds the top-level "UserID" of a JSON document without building it: the whole text must
// still be valid JSON, but a hostile file costs no more memory than its nesting stack.
class UserIDFinder : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t) override { return scalar(); }
  bool number_unsigned(number_unsigned_t) override { return scalar(); }
  bool number_float(number_float_t, const string_t&) override { return scalar(); }
  bool binary(binary_t&) override { return scalar(); }
  bool string(string_t& value) override {
    if (depth_ == 0) return false;  // a bare string is not a document
    if (atTopLevelUserID()) userID_ = std::move(value);
    return scalar();
  }
  bool start_object(std::size_t) override { return open(true); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& key) override {
    currentKeyIsUserID_ = depth_ == 1 && topIsObject_ && key == kUserIDKey;
    if (currentKeyIsUserID_) userID_.reset();  // the last of duplicate members wins
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

  const std::optional<std::string>& userID() const { return userID_; }

 private:
  static constexpr int kMaxDepth = 512;

  bool atTopLevelUserID() const { return depth_ == 1 && currentKeyIsUserID_; }
  bool scalar() {
    currentKeyIsUserID_ = false;
    return depth_ > 0;  // a bare scalar is not a document
  }
  bool open(bool isObject) {
    if (depth_ == 0) topIsObject_ = isObject;
    currentKeyIsUserID_ = false;
    return ++depth_ <= kMaxDepth;
  }
  bool close() {
    --depth_;
    return true;
  }

  int depth_ = 0;
  bool topIsObject_ = false;
  bool currentKeyIsUserID_ = false;
  std::optional<std::string> userID_;
};

}  // namespace

std::optional<std::string> topLevelUserID(std::vector<std::uint8_t> json) {
  if (!unicodeTextToUtf8(json)) return std::nullopt;
  UserIDFinder finder;
  if (!nlohmann::json::sax_parse(json.begin(), json.end(), &finder)) return std::nullopt;
  return finder.userID();
}

std::optional<std::string> userID() {
  const std::optional<fs::FileName> groupContainer = container();
  if (!groupContainer) return std::nullopt;
  fs::FileContent content = fs::readFile(*groupContainer + "/" + std::string(kUserDataFile));
  if (content.status != fs::FileContent::Status::kRead) return std::nullopt;
  return topLevelUserID(std::move(content.bytes));
}

std::optional<std::string> refCode() {
  const std::optional<const DefaultsSuite> suite = openSuite();
  if (!suite) return std::nullopt;
  std::string scratch;
  const std::optional<std::string_view> text = suite->objectForKey(kRefCodeKey).text(scratch);
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

void setEventDate(double eventDate) {
  if (!std::isfinite(eventDate)) return;  // no event happens at a time that is not a number
  updateSuite([eventDate](DefaultsSuite& suite) {
    // Appended to the stored list, which is copied; a value that is not a list is replaced.
    const plist::Object stored = suite.arrayForKey(kEventsDatesKey);
    plist::ListEdit events = stored ? plist::ListEdit(stored) : plist::ListEdit();
    events.append(eventDate);
    suite.setList(kEventsDatesKey, std::move(events));
    return true;
  });
}

}  // namespace orvo::store
