// The module as a host sees it: the exported symbol table, the version data and a client in
// another language, checked on the built shared library.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
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
    "OrvoModuleVersionNumber",
    "OrvoModuleVersionString",
    "OrvoModuleFree",
    "GetUserID",
    "GetRefCode",
    "SetEventDate",
    "SetNextGameOnFire",
    "GetCurrentGam\xD0\xB5OnFire",
    "GetAllGames",
    "SetInterstitialDate",
    "SetLastPlayDate",
    "GetStoreCode",
    "CanOpenURL",
    "IsVPNEnabled",
    "GetEncryptedData",
    "GetDecryptedData",
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

// Exactly those, each in the version node ORVOMODULE_1.0 (whose own definition is the one other
// entry).
TEST(ExportedSymbols, AreExactlyTheModuleInterfaceInItsVersionNode) {
  const testing::CommandResult nm = testing::runCommand(
      std::string(ORVO_NM) + " -D --defined-only --demangle " + ORVO_LIBRARY_PATH);
  ASSERT_EQ(nm.status, 0);
  std::set<std::string> names;
  std::istringstream in(nm.output);
  for (std::string line; std::getline(in, line);) {
    // "<address> <type> <name>@@<version>"; the name may hold blanks (demangled arguments).
    const std::size_t nameStart = line.find(' ', line.find(' ') + 1);
    if (nameStart == std::string::npos) continue;
    const std::string name = line.substr(nameStart + 1);
    if (name == "ORVOMODULE_1.0") continue;
    const std::size_t at = name.find('@');
    EXPECT_EQ(at == std::string::npos ? "" : name.substr(at), "@@ORVOMODULE_1.0") << name;
    names.insert(name.substr(0, at));
  }
  EXPECT_EQ(names, kExpectedSymbols);
}

// The file a host loads: its soname, the version data, and names bound by their bytes (the
// on-fire name only with its Cyrillic letter).
TEST(LibraryFile, HasItsSonameAndVersionDataAndBindsOnlyTheCyrillicName) {
  const testing::CommandResult dyn =
      testing::runCommand(std::string(ORVO_READELF) + " -d " + ORVO_LIBRARY_PATH);
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

// orvo with the arguments, as a shell runs it; standard error mixed in.
testing::CommandResult orvo(const std::string& args) {
  return testing::runCommand(std::string(ORVO_EMULATOR) + " " + ORVO_TOOL_PATH + " " + args +
                             " 2>&1");
}

// The orvo tool as a person uses it: its exit statuses, the numbers it refuses, and the store it
// shows, checks and heals.
TEST(OrvoTool, HelpsRefusesBadNumbersAndShowsChecksAndQuarantinesTheStore) {
  testing::TempAppGroup group;
  EXPECT_EQ(orvo("--help").status, 0);
  // Misuse is 2 with the usage on standard error; a call that cannot be made is 1.
  for (const char* misuse : {"", "--lib", "--lib --help", "--version extra", "--help extra",
                             "demo extra", "store --bogus", "--bogus", "GetUserID extra"}) {
    const testing::CommandResult result = orvo(misuse);
    EXPECT_EQ(result.status, 2) << misuse;
    if (std::string(misuse) != "GetUserID extra") {
      EXPECT_NE(result.output.find("usage: orvo"), std::string::npos) << misuse;
    }
  }
  EXPECT_EQ(testing::runCommand(std::string(ORVO_EMULATOR) + " " + ORVO_TOOL_PATH + " 2>/dev/null")
                .output,
            "");
  EXPECT_EQ(orvo("--lib /nonexistent/libOrvoModule.so.1 GetUserID").status, 1);
  EXPECT_EQ(orvo("--lib libc.so.6 GetUserID").status, 1);
  for (const char* number : {"nan", "inf", "1e400", "0x10", "' 1'", "''", "1,5"}) {
    EXPECT_EQ(orvo(std::string("SetEventDate ") + number).status, 2) << number;
  }
  EXPECT_EQ(orvo("SetEventDate -2.5e3").output, "(no result)\n");

  plist::Dictionary games, root;
  games.set("a", plist::Dictionary());
  games.set("b", "not a record");
  root.set("GamesKey", games);
  root.set("when", plist::Array{plist::Date{1e300}, plist::Date{std::nan("")}, plist::Date{0},
                                plist::Date{-63177062400.5}});
  group.writeSuite(root);
  const testing::CommandResult shown = orvo("store");
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.output.find("2 game(s)"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("<key>a</key>"), std::string::npos) << shown.output;
  // Dates beyond any calendar are shown as unknown, the others as the UTC time they name (to the
  // second below, the year before 1 BC's as -0001).
  EXPECT_NE(shown.output.find("<date>?</date>\n\t\t<date>?</date>\n\t\t<date>2001-01-01T00:00:00Z"
                              "</date>\n\t\t<date>-0002-12-31T23:59:59Z"),
            std::string::npos)
      << shown.output;
  const testing::CommandResult checked = orvo("store --check");
  EXPECT_EQ(checked.status, 1);
  EXPECT_NE(checked.output.find("GamesKey[\"b\"] is not a dictionary"), std::string::npos);
  EXPECT_EQ(orvo("store --quarantine").status, 1);  // it reads well: nothing to heal
  // Healed by hand as a game's next update would: the damaged bytes kept, the last good copy in
  // place, both shown; a second damage gets a copy of its own.
  const std::string good = group.readSuiteBytes();
  std::filesystem::copy_file(group.suitePath(), group.lastGoodPath());
  const auto copiesAside = [&group] {
    std::multiset<std::string> copies;
    for (const auto& entry : std::filesystem::directory_iterator(group.suitePath().parent_path())) {
      if (entry.path().filename().string().find(".plist.damaged-") != std::string::npos) {
        copies.insert(testing::readFile(entry.path()));
      }
    }
    return copies;
  };
  for (const char* damage : {"damaged", "damaged again"}) {
    group.writeSuiteBytes(damage);
    std::filesystem::last_write_time(
        group.suitePath(), std::filesystem::file_time_type::clock::now() - std::chrono::minutes(1));
    EXPECT_NE(orvo("store").output.find("damaged"), std::string::npos);
    EXPECT_EQ(orvo("store --quarantine").status, 0);
    EXPECT_EQ(group.readSuiteBytes(), good);
  }
  EXPECT_EQ(copiesAside(), (std::multiset<std::string>{"damaged", "damaged again"}));
  EXPECT_NE(orvo("store").output.find(".plist.damaged-"), std::string::npos);
  // A container whose suite has no folder yet has nothing to heal.
  std::filesystem::remove_all(group.suitePath().parent_path());
  const testing::CommandResult none = orvo("store --quarantine");
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.output.find("nothing to heal"), std::string::npos) << none.output;
}

// orvo store init as an installer runs it, one run after another on one store: the container
// made, values added beside the others, the same values again accepted, and every run that
// would overwrite (unless forced) or is misused leaving each stored byte as it was.
TEST(OrvoTool, StoreInitSetsUpTheStoreAndOverwritesOnlyWhenForced) {
  testing::TempAppGroup group;
  std::filesystem::remove_all(group.dataHome() / "app-groups");
  const std::filesystem::path userData = group.container() / "UserData";
  const auto state = [&] {
    const std::optional<plist::Value> suite = group.readSuite();
    if (!suite) return std::string("no suite");
    const plist::Value* refCode = suite->as<plist::Dictionary>()->find("refCode");
    std::string out = testing::readFile(userData) + "refCode=" + *refCode->as<std::string>();
    for (const auto& [game, record] : group.games()) {
      out += " " + game + (record.as<plist::Dictionary>()->empty() ? "{}" : "{..}");
    }
    return out;
  };
  struct Run {
    const char* args;
    int status;
    const char* state;  // after the run; a run that fails changes nothing
  };
  const Run runs[] = {
      {"store init --user-id p1 --ref-code R --game a b", 0,
       "{\"UserID\":\"p1\"}\nrefCode=R a{} b{}"},
      {"SetLastPlayDate a 5", 0, "{\"UserID\":\"p1\"}\nrefCode=R a{..} b{}"},
      {"store init --user-id p1 --game c", 0, "{\"UserID\":\"p1\"}\nrefCode=R a{..} b{} c{}"},
      {"store init --user-id p1 --ref-code R --game b c", 0, nullptr},
      {"store init --user-id p1 --game a d", 1, nullptr},
      {"store init --user-id p2 --game d", 1, nullptr},
      {"store init --user-id p1 --ref-code S --game d", 1, nullptr},
      {"store init --user-id p1", 2, nullptr},
      {"store init --game d", 2, nullptr},
      {"store init --user-id '' --game d", 2, nullptr},
      {"store init --user-id p1 --game d --user-id p2", 2, nullptr},
      {"store init --user-id p1 --game", 2, nullptr},
      {"store init --user-id p2 --ref-code S --force --game a", 0,
       "{\"UserID\":\"p2\"}\nrefCode=S a{} b{} c{}"},
  };
  std::string expected;
  for (const Run& run : runs) {
    const std::string before =
        run.state ? "" : testing::readFile(userData) + group.readSuiteBytes();
    const testing::CommandResult result = orvo(run.args);
    EXPECT_EQ(result.status, run.status) << run.args << "\n" << result.output;
    if (run.state) {
      expected = run.state;
    } else if (run.status != 0) {
      EXPECT_EQ(testing::readFile(userData) + group.readSuiteBytes(), before) << run.args;
    }
    EXPECT_EQ(state(), expected) << run.args;
  }
  // A UserData that cannot be read is not a missing one.
  std::filesystem::remove(userData);
  std::filesystem::create_directory(userData);
  EXPECT_EQ(orvo("store init --user-id p2 --game e").status, 1);
  EXPECT_FALSE(group.games().find("e"));
}

// Hosts in other languages: the Python and C# bindings call every entry point of the built
// library (C# where Mono is installed; not under the sanitizers, whose runtime Mono cannot load).
TEST(Bindings, PythonAndCSharpCallEveryEntryPoint) {
  if (!std::string(ORVO_EMULATOR).empty())
    GTEST_SKIP() << "the host's Python cannot load an emulated library";
  const testing::TempAppGroup scratch;  // a throwaway folder for the C# client
  const std::string source = std::string(ORVO_TEST_DATA_DIR) + "/..";
  std::string client;
  if (std::string(ORVO_FOREIGN_HOST_ENV).empty() &&
      testing::runCommand("mcs --version >/dev/null 2>&1").status == 0) {
    client = scratch.dataHome().string() + "/client.exe";
    const testing::CommandResult build = testing::runCommand(
        "mcs -nologo -out:" + client + " " + source + "/bindings/csharp/OrvoModule.cs " +
        ORVO_TEST_DATA_DIR + "/BindingClient.cs 2>&1");
    ASSERT_EQ(build.status, 0) << build.output;
  }
  const testing::CommandResult run = testing::runCommand(
      std::string("env ") + ORVO_FOREIGN_HOST_ENV + " PYTHONPATH=" + source + "/bindings/python " +
      ORVO_PYTHON3 + " " + ORVO_TEST_DATA_DIR + "/bindings_check.py " + ORVO_LIBRARY_PATH + " " +
      ORVO_APP_GROUP_IDENTIFIER + " " + client + " 2>&1");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("bindings: all checks passed"), std::string::npos) << run.output;
  if (client.empty()) GTEST_SKIP() << "no Mono: only the Python binding was checked";
}

}  // namespace
}  // namespace orvo
