// What the benchmarks share: a throwaway app group on tmpfs with the module's log sent to
// /dev/null (written all the same, as a host's standard error would take it), and the
// registries the games keep.
#ifndef ORVO_BENCH_BENCHSUPPORT_H_
#define ORVO_BENCH_BENCHSUPPORT_H_

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/plist/PropertyList.h"

namespace orvo::bench {

namespace stdfs = std::filesystem;

class BenchStore {
 public:
  BenchStore() {
    char pattern[] = "/dev/shm/orvo-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    home_ = pattern;
    container_ = home_ / "app-groups" / ORVO_APP_GROUP_IDENTIFIER;
    suite_ = container_ / "Library" / "Preferences" /
             (std::string(ORVO_APP_GROUP_IDENTIFIER) + ".plist");
    stdfs::create_directories(suite_.parent_path());
    ::setenv("XDG_DATA_HOME", home_.c_str(), 1);
    savedStderr_ = ::dup(STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(devNull, STDERR_FILENO);
    ::close(devNull);
  }
  ~BenchStore() {
    ::dup2(savedStderr_, STDERR_FILENO);
    ::close(savedStderr_);
    std::error_code ec;
    stdfs::remove_all(home_, ec);
  }
  BenchStore(const BenchStore&) = delete;
  BenchStore& operator=(const BenchStore&) = delete;

  const stdfs::path& container() const { return container_; }
  const stdfs::path& suite() const { return suite_; }

  static void writeFile(const stdfs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  void writeSuite(const std::vector<std::uint8_t>& bytes) const { writeFile(suite_, bytes); }
  void writeSuite(const plist::Value& root) const {
    const auto bytes = plist::writeBinaryPropertyList(root);
    if (!bytes) throw std::runtime_error("suite not written");
    writeSuite(*bytes);
  }

 private:
  stdfs::path home_, container_, suite_;
  int savedStderr_;
};

// `games` records of `entries` interstitial times each: game g's i-th time is
// 1e9 + 10 i + g / 1000, so every game's history spans the same hours.
inline plist::Value typicalSuite(int games, int entries) {
  plist::Dictionary registry;
  registry.reserve(static_cast<std::size_t>(games));
  for (int g = 0; g < games; ++g) {
    plist::Array dates;
    dates.reserve(static_cast<std::size_t>(entries));
    for (int i = 0; i < entries; ++i) dates.emplace_back(1e9 + 10.0 * i + g / 1000.0);
    plist::Dictionary record;
    record.set("InterstitialsDates", std::move(dates));
    record.set("LastPlayDate", 1.7e9 + g);
    record.set("OnFireEndDate", g == 1 ? 4e9 : 1.6e9);
    registry.append("com.orvo.game" + std::to_string(g), std::move(record));
  }
  plist::Array events;
  for (int i = 0; i < 20; ++i) events.emplace_back(1.7e9 + i * 3600.0);
  plist::Dictionary root;
  root.set("GamesKey", std::move(registry));
  root.set("eventsDates", std::move(events));
  root.set("refCode", "A1B2C3");
  return root;
}

}  // namespace orvo::bench

#endif  // ORVO_BENCH_BENCHSUPPORT_H_
