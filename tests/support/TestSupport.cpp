#include "support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orvo::testing {
namespace stdfs = std::filesystem;

namespace {
void assignEnvironment(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}
}  // namespace

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, value] : saved_) assignEnvironment(name, value);
}

void ScopedEnvironment::set(const std::string& name, const std::optional<std::string>& value) {
  const char* old = std::getenv(name.c_str());
  saved_.try_emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
  assignEnvironment(name, value);
}

TempAppGroup::TempAppGroup(const std::string& base) {
  std::string pattern = base + "/orvo-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dataHome_ = pattern;
  container_ = dataHome_ / "app-groups" / ORVO_APP_GROUP_IDENTIFIER;
  stdfs::create_directories(container_);
  environment_.set("XDG_DATA_HOME", dataHome_.string());
}

TempAppGroup::~TempAppGroup() {
  std::error_code ec;
  stdfs::permissions(dataHome_, stdfs::perms::owner_all, stdfs::perm_options::add, ec);
  stdfs::remove_all(dataHome_, ec);
}

stdfs::path TempAppGroup::suitePath() const {
  return container_ / "Library" / "Preferences" /
         (std::string(ORVO_APP_GROUP_IDENTIFIER) + ".plist");
}

stdfs::path TempAppGroup::lastGoodPath() const {
  return stdfs::path(suitePath()).concat(".previous");
}

void TempAppGroup::writeSuite(const plist::Value& root) const {
  const auto bytes = plist::writeBinaryPropertyList(root);
  if (!bytes) throw std::runtime_error("cannot encode suite");
  writeSuiteBytes(std::string(bytes->begin(), bytes->end()));
}

void TempAppGroup::writeSuiteBytes(const std::string& bytes) const {
  writeFile(suitePath().lexically_relative(container_), bytes);
}

std::optional<plist::Value> TempAppGroup::readSuite() const {
  const std::string bytes = readSuiteBytes();
  return plist::readPropertyList(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::string TempAppGroup::readSuiteBytes() const { return readFile(suitePath()); }

void TempAppGroup::writeFile(const stdfs::path& relative, const std::string& bytes) const {
  stdfs::create_directories((container_ / relative).parent_path());
  std::ofstream(container_ / relative, std::ios::binary | std::ios::trunc) << bytes;
}

plist::Dictionary TempAppGroup::games() const {
  const std::optional<plist::Value> root = readSuite();
  const plist::Dictionary* suite = root ? root->as<plist::Dictionary>() : nullptr;
  const plist::Value* games = suite ? suite->find("GamesKey") : nullptr;
  return games && games->is<plist::Dictionary>() ? *games->as<plist::Dictionary>()
                                                 : plist::Dictionary();
}

plist::Value TempAppGroup::gameField(const std::string& game, const std::string& name) const {
  const plist::Dictionary all = games();
  const plist::Value* record = all.find(game);
  const plist::Dictionary* fields = record ? record->as<plist::Dictionary>() : nullptr;
  const plist::Value* value = fields ? fields->find(name) : nullptr;
  return value ? *value : plist::Value("<absent>");
}

bool runInChildren(int count, const std::function<bool(int index)>& body) {
  // Static, so that a child's leak check under valgrind sees the parent's list as reachable.
  static std::vector<pid_t> children;
  children.clear();
  for (int i = 0; i < count; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::_Exit(body(i) ? 0 : 1);
    }
    if (pid < 0) return false;
    children.push_back(pid);
  }
  bool allOk = true;
  for (pid_t pid : children) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      allOk = false;
    }
  }
  return allOk;
}

int exitStatusWithin(int child, int seconds, const std::function<void()>& whileWaiting) {
  for (int waited = 0; waited < seconds * 1000; ++waited) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    if (whileWaiting) whileWaiting();
    ::usleep(1000);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return -1;
}

int rounds(int full) { return std::getenv("ORVO_TEST_LIGHT") ? std::max(full / 50, 2) : full; }

plist::Dictionary twoGameSuite() {
  plist::Dictionary a, b, games, root;
  a.set("InterstitialsDates", plist::Array{plist::Value(0.0)});
  b.set("InterstitialsDates", plist::Array{plist::Value(5.0)});
  games.set("A", a);
  games.set("B", b);
  root.set("refCode", "R");
  root.set("GamesKey", games);
  return root;
}

SeededGroup::SeededGroup() : TempAppGroup("/dev/shm") {
  writeSuite(twoGameSuite());
  writeFile("UserData", R"({"UserID":"U"})");
}

std::vector<std::string> leftovers(const TempAppGroup& group) {
  const std::string suite = group.suitePath().filename().string();
  std::vector<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(group.suitePath().parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name != suite && name != suite + ".lock" && name != suite + ".previous" &&
        name.rfind(suite + ".damaged-", 0) != 0) {
      names.push_back(name);
    }
  }
  return names;
}

CommandResult runCommand(const std::string& command) {
  CommandResult result{-1, {}};
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) result.output.append(buf, n);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::optional<std::string> takeText(char* returned) {
  if (returned == nullptr) return std::nullopt;
  std::string text(returned);
  std::free(returned);
  return text;
}

std::string readFile(const stdfs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace orvo::testing
