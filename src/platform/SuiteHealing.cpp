// How a damaged suite is healed: its bytes kept aside, the last good copy (or an empty suite)
// put in its place. Every step leaves a suite in place and the damaged bytes in existence, so
// that a writer killed at any moment loses nothing and the next one completes the heal.
#include <errno.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "platform/Clock.h"
#include "platform/DefaultsSuite.h"
#include "platform/SystemLog.h"

namespace orvo {
namespace {

constexpr std::string_view kDamagedInfix = ".damaged-";

bool allDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A damaged copy's UTC stamp as a key that sorts by time: "YYYYMMDDTHHMMSS.ffffffZ", or
// "YYYYMMDDTHHMMSSZ" as earlier versions of the quarantine named copies. None for any other
// text, whose file is not one of ours.
std::optional<std::string> sortKeyOf(std::string_view stamp) {
  if (stamp.size() < 16 || stamp[8] != 'T' || stamp.back() != 'Z' ||
      !allDigits(stamp.substr(0, 8)) || !allDigits(stamp.substr(9, 6))) {
    return std::nullopt;
  }
  const std::string_view fraction = stamp.substr(15, stamp.size() - 16);
  if (fraction.empty()) return std::string(stamp.substr(0, 15)) + "000000";
  if (fraction.size() != 7 || fraction[0] != '.' || !allDigits(fraction.substr(1))) {
    return std::nullopt;
  }
  return std::string(stamp.substr(0, 15)).append(fraction.substr(1));
}

// Within kFreshness of now, either way; a time too far from now to subtract is not fresh.
bool isFresh(const timespec& modified) {
  const timespec now = wallClockNow();
  long long seconds = 0;
  if (__builtin_sub_overflow(static_cast<long long>(now.tv_sec),
                             static_cast<long long>(modified.tv_sec), &seconds) ||
      seconds > 1000 || seconds < -1000) {
    return false;
  }
  const auto age =
      std::chrono::seconds(seconds) + std::chrono::nanoseconds(now.tv_nsec - modified.tv_nsec);
  return age < DefaultsSuite::kFreshness && age >= -DefaultsSuite::kFreshness;
}

// Leaves at most `keep` damaged copies, removing the oldest.
bool pruneDamagedCopies(const fs::FileName& file, std::size_t keep) {
  const std::optional<std::vector<fs::FileName>> copies = DefaultsSuite::damagedCopiesOf(file);
  if (!copies) return false;
  for (std::size_t i = 0; i + keep < copies->size(); ++i) {
    if (!fs::removeFile((*copies)[i])) return false;
  }
  return true;
}

// Gives the damaged file a damaged copy's name stamped now, never one that is taken: by a hard
// link, or by writing the bytes read where a link is refused (not possible for a file too large
// to have been read).
std::optional<fs::FileName> keepDamaged(const fs::FileName& file, const fs::FileContent& damaged) {
  std::optional<std::span<const std::uint8_t>> bytes;
  if (damaged.status == fs::FileContent::Status::kRead) bytes = damaged.bytes;
  timespec at = wallClockNow();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::optional<std::string> stamp = utcStamp(at);
    if (!stamp) return std::nullopt;
    fs::FileName name = file + std::string(kDamagedInfix) + *stamp;
    if (fs::addName(file, name, bytes)) return name;
    if (errno != EEXIST) return std::nullopt;
    at.tv_nsec += 1000;  // the next microsecond's name
    if (at.tv_nsec >= 1000000000) {
      at.tv_nsec -= 1000000000;
      ++at.tv_sec;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<fs::FileName>> DefaultsSuite::damagedCopiesOf(
    const fs::FileName& suiteFile) {
  const fs::FileName folder = fs::folderOf(suiteFile);
  const std::optional<std::vector<fs::FolderEntry>> entries = fs::entriesIn(folder);
  if (!entries) return std::nullopt;
  const std::string prefix = std::string(fs::baseNameOf(suiteFile)).append(kDamagedInfix);
  std::vector<std::pair<std::string, fs::FileName>> copies;
  for (const auto& [name, kind] : *entries) {
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    if (std::optional<std::string> key = sortKeyOf(std::string_view(name).substr(prefix.size()))) {
      copies.emplace_back(std::move(*key), fs::FileName(folder).append("/").append(name));
    }
  }
  std::sort(copies.begin(), copies.end());
  std::vector<fs::FileName> oldestFirst;
  oldestFirst.reserve(copies.size());
  for (auto& copy : copies) oldestFirst.push_back(std::move(copy.second));
  return oldestFirst;
}

// In this order: the oldest copies pruned first (so that at most kKeptDamagedCopies remain
// whenever a heal stops), the damaged bytes given their name, and only then the suite replaced.
std::optional<DefaultsSuite> DefaultsSuite::healUnderLock(const fs::FileName& file,
                                                          const Stored& damaged,
                                                          HealReport& report) {
  report = {Heal::kFailed, {}, false};
  if (isFresh(damaged.content.modified)) {
    report.outcome = Heal::kFresh;
    return std::nullopt;
  }
  if (!pruneDamagedCopies(file, kKeptDamagedCopies - 1)) return std::nullopt;
  std::optional<fs::FileName> copy = keepDamaged(file, damaged.content);
  if (!copy) return std::nullopt;
  // The last good copy stays as it is, damaged or not: the write-back that follows a heal keeps
  // none of its own.
  Stored lastGood = readStored(lastGoodCopyOf(file), plist::View::Purpose::kUpdate);
  // A copy that cannot be read now may read later: no heal from nothing over it.
  if (lastGood.state == Stored::State::kUnreadable) return std::nullopt;
  const bool restore = lastGood.state == Stored::State::kGood;
  std::optional<std::vector<std::uint8_t>> emptySuite;
  if (!restore) emptySuite = plist::writeBinaryPropertyList(plist::Dictionary());
  const std::vector<std::uint8_t>& bytes = restore ? lastGood.content.bytes : *emptySuite;
  const mode_t permissions = restore ? lastGood.content.permissions : damaged.content.permissions;
  if ((!restore && !emptySuite) || !fs::replaceFileAtomically(file, bytes, permissions)) {
    return std::nullopt;
  }
  report = {Heal::kHealed, std::move(*copy), restore};
  return DefaultsSuite(file, restore ? std::move(lastGood) : Stored{}, permissions, false);
}

void DefaultsSuite::logHeal(const HealReport& report) {
  log::write("Error reading the app group's suite: it was damaged and is kept as " +
             report.damagedCopy + "; " +
             (report.restored ? "its last good copy" : "an empty suite") + " took its place");
}

}  // namespace orvo
