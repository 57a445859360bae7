// Reads property-list files, binary or XML, and writes each back in the binary format, for the
// comparison with Python's plistlib:  plist_rewrite IN OUT [IN OUT]...
// A binary file with a dictionary on top is rewritten as the module updates the suite: the
// last entry of the top dictionary, and of each container it holds, is given again as a new
// value, and everything else is copied. Other files are read whole and written anew.
// Exits non-zero when any input was refused or its value could not be written.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/plist/PropertyList.h"
#include "platform/plist/PropertyListEdit.h"
#include "platform/plist/PropertyListView.h"

namespace {

namespace plist = orvo::plist;
using Bytes = std::vector<std::uint8_t>;

// The same values, the last entry of each container new objects.
void giveLastEntriesAgain(const plist::Object& root, plist::DictionaryEdit& top) {
  for (std::size_t i = 0; i < root.size(); ++i) {
    const std::string key = *root.key(i).string();
    const plist::Object value = root.value(i);
    const std::size_t n = value.size();
    if (i + 1 == root.size()) {
      top.set(key, value.toValue());
    } else if (n > 0 && value.is(plist::Kind::kArray)) {
      plist::ListEdit list(value);
      std::size_t seen = 0;
      list.keepIf([&](const auto&) { return ++seen < n; });
      list.append(value.last().toValue());
      top.set(key, std::move(list));
    } else if (n > 0) {
      top.edit(key)->set(*value.key(n - 1).string(), value.value(n - 1).toValue());
    }
  }
}

std::optional<Bytes> rewrite(const Bytes& bytes) {
  const std::optional<plist::View> view = plist::View::read(bytes, plist::View::Purpose::kUpdate);
  if (!view || !view->root().is(plist::Kind::kDictionary)) {
    const auto value = plist::readPropertyList(bytes);
    return value ? plist::writeBinaryPropertyList(*value) : std::nullopt;
  }
  plist::DictionaryEdit top(view->root());
  giveLastEntriesAgain(view->root(), top);
  std::optional<plist::Written> written = plist::writeBinaryPropertyList(&*view, top);
  return written ? std::optional<Bytes>(written->joined()) : std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s IN OUT [IN OUT]...\n", argv[0]);
    return 2;
  }
  int failures = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::ifstream in(argv[i], std::ios::binary);
    const Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::optional<Bytes> written = rewrite(bytes);
    if (!in || !written) {
      std::fprintf(stderr, "%s: refused or cannot write back\n", argv[i]);
      ++failures;
      continue;
    }
    std::ofstream out(argv[i + 1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(written->data()),
              static_cast<std::streamsize>(written->size()));
    if (!out.flush()) {
      std::fprintf(stderr, "%s: cannot write\n", argv[i + 1]);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
