// The floor of a store call: the least that any strict reader of the suite must do, written as
// plainly as possible. A read: open, fstat, read, close; one pass over every object of the
// file (the trailer, every offset, each object's marker and length, every reference and each
// key's kind, ASCII 7-bit, UTF-16 surrogates paired); then the answer itself. A write: that
// read under the lock, the same bytes written back durably (temporary file, fsync, rename,
// fsync of the folder) with the replaced file kept as the last good copy (one link, one
// rename), and one log line. Cycles, nesting, the budgets and duplicate keys are not checked.
#ifndef ORVO_BENCH_FLOOR_H_
#define ORVO_BENCH_FLOOR_H_

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plist/BinaryFormat.h"

namespace orvo::bench::floor {

using plist::binary::loadBig;
using Bytes = std::vector<std::uint8_t>;

inline Bytes readWhole(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  struct stat st {};
  ::fstat(fd, &st);
  Bytes bytes(static_cast<std::size_t>(st.st_size));
  std::size_t filled = 0;
  for (ssize_t n = 0; filled < bytes.size() &&
                      (n = ::read(fd, bytes.data() + filled, bytes.size() - filled)) > 0;) {
    filled += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return bytes;
}

// A file that passed the pass, and the few lookups the answers need.
class File {
 public:
  explicit File(const Bytes& bytes) : p_(bytes.data()), size_(bytes.size()) {}

  bool check() {
    if (size_ < 42 || std::memcmp(p_, "bplist00", 8) != 0) return false;
    const std::uint8_t* trailer = p_ + size_ - 32;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    count_ = loadBig(trailer + 8, 8);
    top_ = loadBig(trailer + 16, 8);
    table_ = loadBig(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8 || top_ >= count_ ||
        table_ < 9 || table_ > size_ - 32 || count_ > (size_ - 32 - table_) / offsetSize_) {
      return false;
    }
    // In a loop made for the file's widths, as a reader that cares for speed would.
    switch (offsetSize_ * 16 + refSize_) {
      case 0x11:
        return checkAll<1, 1>();
      case 0x21:
        return checkAll<2, 1>();
      case 0x22:
        return checkAll<2, 2>();
      case 0x41:
        return checkAll<4, 1>();
      case 0x42:
        return checkAll<4, 2>();
      case 0x44:
        return checkAll<4, 4>();
      default:
        return checkAll<0, 0>();
    }
  }

  std::uint64_t top() const { return top_; }
  std::uint64_t size(std::uint64_t id) const { return length(id, nullptr); }
  std::uint64_t ref(std::uint64_t container, std::uint64_t i) const {
    const std::uint8_t* refs = nullptr;
    length(container, &refs);
    return loadBig(refs + i * refSize_, refSize_);
  }
  // A dictionary's value under an ASCII key, or the object count when absent.
  std::uint64_t find(std::uint64_t dict, std::string_view key) const {
    const std::uint64_t n = size(dict);
    for (std::uint64_t i = 0; i < n; ++i) {
      if (text(ref(dict, i)) == key) return ref(dict, n + i);
    }
    return count_;
  }
  std::string_view text(std::uint64_t id) const {
    const std::uint8_t* at = nullptr;
    const std::uint64_t n = length(id, &at);
    return {reinterpret_cast<const char*>(at), static_cast<std::size_t>(n)};
  }
  bool isDict(std::uint64_t id) const { return id < count_ && (*object(id) >> 4) == 0xD; }
  double real(std::uint64_t id) const {
    return id < count_ && *object(id) == 0x23 ? std::bit_cast<double>(loadBig(object(id) + 1, 8))
                                              : 0;
  }

 private:
  const std::uint8_t* object(std::uint64_t id) const {
    return p_ + loadBig(p_ + table_ + id * offsetSize_, offsetSize_);
  }
  std::uint64_t length(std::uint64_t id, const std::uint8_t** contents) const {
    const std::uint8_t* p = object(id);
    std::uint64_t n = *p & 0x0F;
    ++p;
    if (n == 0x0F) {
      const unsigned width = 1u << (*p & 0x0F);
      n = loadBig(p + 1, width);
      p += 1 + width;
    }
    if (contents != nullptr) *contents = p;
    return n;
  }
  // Widths of 0: those of the file, read as it runs.
  template <unsigned kOffset, unsigned kRef>
  bool checkAll() const {
    for (std::uint64_t i = 0; i < count_; ++i) {
      // Reals, most of a registry, in the fewest steps.
      const std::uint64_t offset = loadBig(p_ + table_ + i * (kOffset ? kOffset : offsetSize_),
                                           kOffset ? kOffset : offsetSize_);
      if (offset >= 8 && offset + 9 <= table_ && p_[offset] == 0x23) continue;
      if (!checkObject < kRef ? kRef : 0 > (i)) return false;
    }
    return true;
  }

  template <unsigned kRef>
  bool checkObject(std::uint64_t id) const {
    const unsigned refSize = kRef ? kRef : refSize_;
    const std::uint64_t offset = loadBig(p_ + table_ + id * offsetSize_, offsetSize_);
    if (offset < 8 || offset >= table_) return false;
    const std::uint8_t* p = p_ + offset;
    const std::uint64_t left = table_ - offset - 1;
    const std::uint8_t marker = *p;
    switch (marker >> 4) {
      case 0x0:
        return marker == 0x08 || marker == 0x09;
      case 0x1:
        return (marker & 0x0F) <= 4 && left >= (1u << (marker & 0x0F));
      case 0x2:
        return (marker == 0x23 && left >= 8) || (marker == 0x22 && left >= 4);
      case 0x3:
        return marker == 0x33 && left >= 8;
      case 0x8:
        return left > (marker & 0x0F);
      default:
        break;
    }
    const std::uint8_t* at = nullptr;
    if ((marker & 0x0F) == 0x0F &&
        (left < 1 || (p[1] & 0xFC) != 0x10 || left - 1 < (1u << (p[1] & 0x0F)))) {
      return false;
    }
    const std::uint64_t n = length(id, &at);
    const auto room = static_cast<std::uint64_t>(p_ + table_ - at);
    switch (marker >> 4) {
      case 0x4:
        return n <= room;
      case 0x5: {
        if (n > room) return false;
        std::uint8_t any = 0;
        for (std::uint64_t i = 0; i < n; ++i) any |= at[i];
        return any < 0x80;
      }
      case 0x6:
        if (n > room / 2) return false;
        for (std::uint64_t i = 0; i < n; ++i) {
          const std::uint64_t c = loadBig(at + 2 * i, 2);
          if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == n || (loadBig(at + 2 * i + 2, 2) & 0xFC00) != 0xDC00) return false;
            ++i;
          } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
          }
        }
        return true;
      case 0xA:
      case 0xD: {
        const bool dict = (marker >> 4) == 0xD;
        if (n > room / refSize / (dict ? 2 : 1)) return false;
        for (std::uint64_t i = 0; i < (dict ? 2 : 1) * n; ++i) {
          const std::uint64_t child = loadBig(at + i * refSize, refSize);
          if (child >= count_) return false;
          if (dict && i < n && (*object(child) >> 4) != 0x5 && (*object(child) >> 4) != 0x6) {
            return false;
          }
        }
        return true;
      }
      default:
        return false;
    }
  }

  const std::uint8_t* p_;
  std::size_t size_;
  unsigned offsetSize_ = 0, refSize_ = 0;
  std::uint64_t count_ = 0, top_ = 0, table_ = 0;
};

// The answers, from a file that passed.
inline std::string refCode(const File& file) {
  return std::string(file.text(file.find(file.top(), "refCode")));
}

inline std::string allGames(const File& file) {
  const std::uint64_t registry = file.find(file.top(), "GamesKey");
  std::string json = "[";
  const std::uint64_t n = file.size(registry);
  for (std::uint64_t i = 0; i < n; ++i) {
    json.append(i ? ",{\"bundle\":\"" : "{\"bundle\":\"").append(file.text(file.ref(registry, i)));
    char digits[32];
    const double last = file.real(file.find(file.ref(registry, n + i), "LastPlayDate"));
    json.append("\",\"lastPlayDate\":")
        .append(digits, std::to_chars(digits, digits + 32, last).ptr);
    json += '}';
  }
  return json + "]";
}

// The clock read for every record, as the call must.
inline std::string onFire(const File& file) {
  const std::uint64_t registry = file.find(file.top(), "GamesKey");
  const std::uint64_t n = file.size(registry);
  std::string_view best;
  double bestEnd = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const double end = file.real(file.find(file.ref(registry, n + i), "OnFireEndDate"));
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (end > static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9 &&
        end > bestEnd) {
      best = file.text(file.ref(registry, i));
      bestEnd = end;
    }
  }
  return std::string(best);
}

// The write: the same bytes put back as the module puts a suite back, with its last good copy.
inline void writeBack(const std::string& suite, const Bytes& bytes) {
  const std::string folder = suite.substr(0, suite.rfind('/'));
  const std::string temp = folder + "/.floor.tmp", kept = folder + "/.floor.previous.tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  [[maybe_unused]] const ssize_t written = ::write(fd, bytes.data(), bytes.size());
  ::fsync(fd);
  ::close(fd);
  ::link(suite.c_str(), kept.c_str());
  ::rename(temp.c_str(), suite.c_str());
  ::rename(kept.c_str(), (suite + ".previous").c_str());
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ::fsync(dir);
  ::close(dir);
}

}  // namespace orvo::bench::floor

#endif  // ORVO_BENCH_FLOOR_H_
