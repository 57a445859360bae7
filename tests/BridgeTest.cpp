// The module as a host sees it: the exported symbol table, the version data and a client in
// another language, checked on the built shared library.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "support/TestSupport.h"

namespace orvo {
namespace {

// Every symbol the library exports: the C entry points, the version data and the class
// operations (by their demangled names).
const std::set<std::string> kExpectedSymbols = {
    "OrvoModuleVersionNumber", "OrvoModuleVersionString", "GetUserID", "GetRefCode",
    "SetEventDate", "SetNextGameOnFire", "GetCurrentGam\xD0\xB5OnFire", "GetAllGames",
    "SetInterstitialDate", "SetLastPlayDate", "GetStoreCode", "CanOpenURL", "IsVPNEnabled",
    "GetEncryptedData", "GetDecryptedData",
    "DataManager::getUserID()",
    "DataManager::getRefCode()",
    "DataManager::setEventDate(double)",
    "DataManager::setNextGameOnFire(char const*, double)",
    "DataManager::getCurrentGameOnFire()",
    "DataManager::getAllGames()",
    "DataManager::setInterstitialDate(char const*, double, double)",
    "DataManager::setLastPlayDate(char const*, double)",
    "StoreManager::getCountryCode()",
    "DataManager::canOpenURL(char const*)",
    "DataManager::isVPNEnabled()",
    "DataManager::getSecKeyWithKey(std::basic_string_view<char, std::char_traits<char> >)",
    "DataManager::m_getEncryptedData(std::span<unsigned char const, 18446744073709551615ul>, "
    "std::basic_string_view<char, std::char_traits<char> >)",
    "DataManager::getEncryptedData(char const*, char const*)",
    "DataManager::m_getDecryptedData(std::span<unsigned char const, 18446744073709551615ul>, "
    "std::basic_string_view<char, std::char_traits<char> >)",
    "DataManager::getDecryptedData(char const*, char const*)",
    "DataManager::removePaddingFromData(std::span<unsigned char const, 18446744073709551615ul>)",
};

TEST(ExportedSymbols, AreExactlyTheModuleInterface) {
  const testing::CommandResult nm =
      testing::runCommand(std::string("nm -D --defined-only --demangle ") + ORVO_LIBRARY_PATH);
  ASSERT_EQ(nm.status, 0);
  std::set<std::string> names;
  std::istringstream in(nm.output);
  for (std::string line; std::getline(in, line);) {
    // "<address> <type> <name>"; the name may hold blanks (demangled arguments).
    const std::size_t nameStart = line.find(' ', line.find(' ') + 1);
    if (nameStart == std::string::npos) continue;
    const std::string name = line.substr(nameStart + 1);
    names.insert(name.substr(0, name.find('@')));
  }
  EXPECT_EQ(names, kExpectedSymbols);
}

// The file a host loads: its soname, the version data, and names bound by their bytes (the
// on-fire name only with its Cyrillic letter).
TEST(LibraryFile, HasItsSonameAndVersionDataAndBindsOnlyTheCyrillicName) {
  const testing::CommandResult dyn =
      testing::runCommand(std::string("readelf -d ") + ORVO_LIBRARY_PATH);
  EXPECT_NE(dyn.output.find("Library soname: [libOrvoModule.so.1]"), std::string::npos);
  EXPECT_NE(std::string(ORVO_LIBRARY_PATH).find("libOrvoModule.so.1.0.0"), std::string::npos);
  const std::unique_ptr<void, int (*)(void*)> library(::dlopen(ORVO_LIBRARY_PATH, RTLD_NOW),
                                                      &::dlclose);
  ASSERT_NE(library, nullptr);
  EXPECT_NE(::dlsym(library.get(), "GetCurrentGam\xD0\xB5OnFire"), nullptr);
  EXPECT_EQ(::dlsym(library.get(), "GetCurrentGameOnFire"), nullptr);
  const auto* number =
      static_cast<const double*>(::dlsym(library.get(), "OrvoModuleVersionNumber"));
  const auto* text = static_cast<const char*>(::dlsym(library.get(), "OrvoModuleVersionString"));
  ASSERT_TRUE(number && text);
  EXPECT_EQ(*number, 1.0);
  // 45 characters and the NUL.
  EXPECT_EQ(std::string(text, 46),
            std::string("@(#)PROGRAM:OrvoModule  PROJECT:OrvoModule-1\n", 46));
}

// A client in another language: seeds the store with Python's plistlib and calls the library
// through ctypes.
TEST(OutsideClient, PythonCtypesGetsTheDocumentedResults) {
  const testing::CommandResult run = testing::runCommand(
      std::string("env ") + ORVO_FOREIGN_HOST_ENV + " " + ORVO_PYTHON3 + " " + ORVO_TEST_DATA_DIR +
      "/ctypes_client.py " + ORVO_LIBRARY_PATH + " " + ORVO_APP_GROUP_IDENTIFIER + " 2>&1");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("ctypes client: all checks passed"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace orvo
