// The module as a host sees it: the exported symbol table, the version data and the rule for
// returned text, checked on the built shared library.
#include <OrvoModule/OrvoModule.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "support/TestSupport.h"

namespace orvo {
namespace {

// Every symbol the library exports: the C entry points, the version data and the class
// operations (by their demangled names).
const std::set<std::string> kExpectedSymbols = {
    "OrvoModuleVersionNumber",
    "OrvoModuleVersionString",
    "GetUserID",
    "GetRefCode",
    "SetEventDate",
    "DataManager::getUserID()",
    "DataManager::getRefCode()",
    "DataManager::setEventDate(double)",
    "SetNextGameOnFire",
    "GetCurrentGam\xD0\xB5OnFire",
    "GetAllGames",
    "SetInterstitialDate",
    "SetLastPlayDate",
    "DataManager::setNextGameOnFire(char const*, double)",
    "DataManager::getCurrentGameOnFire()",
    "DataManager::getAllGames()",
    "DataManager::setInterstitialDate(char const*, double, double)",
    "DataManager::setLastPlayDate(char const*, double)",
    "GetStoreCode",
    "CanOpenURL",
    "IsVPNEnabled",
    "StoreManager::getCountryCode()",
    "DataManager::canOpenURL(char const*)",
    "DataManager::isVPNEnabled()",
    "GetEncryptedData",
    "GetDecryptedData",
    "DataManager::getSecKeyWithKey(std::basic_string_view<char, std::char_traits<char> >)",
    "DataManager::m_getEncryptedData(std::span<unsigned char const, 18446744073709551615ul>, "
    "std::basic_string_view<char, std::char_traits<char> >)",
    "DataManager::getEncryptedData(char const*, char const*)",
    "DataManager::m_getDecryptedData(std::span<unsigned char const, 18446744073709551615ul>, "
    "std::basic_string_view<char, std::char_traits<char> >)",
    "DataManager::getDecryptedData(char const*, char const*)",
    "DataManager::removePaddingFromData(std::span<unsigned char const, 18446744073709551615ul>)",
};

std::set<std::string> exportedSymbols() {
  const testing::CommandResult nm = testing::runCommand(
      std::string("nm -D --defined-only --demangle ") + ORVO_LIBRARY_PATH);
  EXPECT_EQ(nm.status, 0);
  std::set<std::string> names;
  std::istringstream in(nm.output);
  for (std::string line; std::getline(in, line);) {
    // "<address> <type> <name>"; the name may hold blanks (demangled arguments).
    const std::size_t nameStart = line.find(' ', line.find(' ') + 1);
    if (nameStart == std::string::npos) continue;
    std::string name = line.substr(nameStart + 1);
    if (name.find('@') != std::string::npos) name.erase(name.find('@'));
    names.insert(name);
  }
  return names;
}

TEST(ExportedSymbols, AreExactlyTheModuleInterface) {
  const std::set<std::string> actual = exportedSymbols();
  std::vector<std::string> extra, missing;
  std::set_difference(actual.begin(), actual.end(), kExpectedSymbols.begin(),
                      kExpectedSymbols.end(), std::back_inserter(extra));
  std::set_difference(kExpectedSymbols.begin(), kExpectedSymbols.end(), actual.begin(),
                      actual.end(), std::back_inserter(missing));
  EXPECT_TRUE(extra.empty()) << "unexpected: " << ::testing::PrintToString(extra);
  EXPECT_TRUE(missing.empty()) << "missing: " << ::testing::PrintToString(missing);
}

TEST(ExportedSymbols, CurrentOnFireNameHasTheCyrillicLetterOnly) {
  const std::set<std::string> actual = exportedSymbols();
  const std::string cyrillic = "GetCurrentGam\xD0\xB5OnFire";
  ASSERT_EQ(cyrillic.size(), 21u);
  EXPECT_EQ(actual.count(cyrillic), 1u);
  EXPECT_EQ(actual.count("GetCurrentGameOnFire"), 0u);
}

class Library {
 public:
  Library() : handle_(::dlopen(ORVO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (handle_) ::dlclose(handle_);
  }
  void* symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

 private:
  void* handle_;
};

TEST(ExportedSymbols, HostBindsTheCyrillicNameAndNotTheLatinOne) {
  Library library;
  EXPECT_NE(library.symbol("GetCurrentGam\xD0\xB5OnFire"), nullptr);
  EXPECT_EQ(library.symbol("GetCurrentGameOnFire"), nullptr);
}

TEST(VersionData, IsTheWhatStringAndOnePointZero) {
  Library library;
  const auto* number = static_cast<const double*>(library.symbol("OrvoModuleVersionNumber"));
  const auto* text = static_cast<const unsigned char*>(library.symbol("OrvoModuleVersionString"));
  ASSERT_TRUE(number && text);
  EXPECT_EQ(*number, 1.0);
  const char expected[] = "@(#)PROGRAM:OrvoModule  PROJECT:OrvoModule-1\n";
  static_assert(sizeof expected == 46);
  EXPECT_EQ(std::memcmp(text, expected, sizeof expected), 0);
}

TEST(LibraryFile, CarriesItsVersionAndSoname) {
  const testing::CommandResult dyn =
      testing::runCommand(std::string("readelf -d ") + ORVO_LIBRARY_PATH);
  EXPECT_NE(dyn.output.find("Library soname: [libOrvoModule.so.1]"), std::string::npos);
  EXPECT_NE(std::string(ORVO_LIBRARY_PATH).find("libOrvoModule.so.1.0.0"), std::string::npos);
}

TEST(ReturnedText, IsAFreshBlockPerCallThroughTheLoadedLibrary) {
  testing::TempAppGroup group;
  group.writeFile("UserData", R"({"UserID":"player-1"})");
  Library library;
  auto getUserID = reinterpret_cast<char* (*)()>(library.symbol("GetUserID"));
  ASSERT_NE(getUserID, nullptr);
  char* first = getUserID();
  char* second = getUserID();
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);
  std::free(first);
  EXPECT_STREQ(second, "player-1");
  std::free(second);
}

TEST(CipherEntryPoints, GiveNullForNullArgumentsThroughTheLoadedLibrary) {
  Library library;
  using Entry = char* (*)(const char*, const char*);
  for (const char* name : {"GetEncryptedData", "GetDecryptedData"}) {
    SCOPED_TRACE(name);
    auto entry = reinterpret_cast<Entry>(library.symbol(name));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry(nullptr, "key"), nullptr);
    EXPECT_EQ(entry("text", nullptr), nullptr);
    EXPECT_EQ(entry(nullptr, nullptr), nullptr);
  }
}

// A client in another language: seeds the store with Python's plistlib and calls the library
// through ctypes.
TEST(OutsideClient, PythonCtypesGetsTheDocumentedResults) {
  const testing::CommandResult run = testing::runCommand(
      std::string("env ") + ORVO_FOREIGN_HOST_ENV + " " + ORVO_PYTHON3 + " " +
      ORVO_TEST_DATA_DIR + "/ctypes_client.py " +
      ORVO_LIBRARY_PATH + " " + ORVO_APP_GROUP_IDENTIFIER + " 2>&1");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("ctypes client: all checks passed"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace orvo
