#include "Host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <utility>
#include <vector>

#include "LogCapture.h"
#include "games/Json.h"

namespace orvo::tool {
namespace {

// The exported name of the current-on-fire entry point has U+0435 (bytes D0 B5) after "Gam".
constexpr const char kCurrentOnFireName[] = "GetCurrentGam\xD0\xB5OnFire";

enum class Signature {
  Text,
  VoidDouble,
  TextTextDouble,
  BoolTextDoubleDouble,
  VoidTextDouble,
  TextTextText,
  BoolText,
  Bool
};

struct EntryPoint {
  Signature signature;
  const char* arguments;
  const char* result;
};

// In the order the help lists them.
const std::vector<std::pair<std::string, EntryPoint>>& entryPoints() {
  static const std::vector<std::pair<std::string, EntryPoint>> table = {
      {"GetUserID", {Signature::Text, "", "text: \"UserID\" of the container's UserData, or null"}},
      {"GetRefCode", {Signature::Text, "", "text: the stored \"refCode\", or null"}},
      {"SetEventDate", {Signature::VoidDouble, "TIME", "appends TIME to \"eventsDates\""}},
      {"SetLastPlayDate",
       {Signature::VoidTextDouble, "GAME TIME", "records TIME as GAME's last-play time"}},
      {"SetInterstitialDate",
       {Signature::BoolTextDoubleDouble, "GAME TIME DURATION",
        "0/1: records an interstitial; 1 when one may be shown in the window"}},
      {"SetNextGameOnFire",
       {Signature::TextTextDouble, "GAME END",
        "text: the game put on fire until END (seconds since 1970), or null"}},
      {kCurrentOnFireName, {Signature::Text, "", "text: the game on fire now, or null"}},
      {"GetAllGames", {Signature::Text, "", "text: JSON listing of the games, or null"}},
      {"GetEncryptedData",
       {Signature::TextTextText, "TEXT PEM-KEY", "text: base64 RSA-OAEP block, or null"}},
      {"GetDecryptedData",
       {Signature::TextTextText, "BASE64 PEM-KEY", "text: the peer's decrypted text, or null"}},
      {"CanOpenURL", {Signature::BoolText, "URL", "0/1: an installed application handles it"}},
      {"IsVPNEnabled", {Signature::Bool, "", "0/1: a tunnel interface is up"}},
      {"GetStoreCode", {Signature::Text, "", "text: ISO 3166-1 alpha-3 country, or null"}},
  };
  return table;
}

const EntryPoint* findEntryPoint(const std::string& name) {
  for (const auto& [entry, point] : entryPoints()) {
    if (entry == name) return &point;
  }
  return nullptr;
}

std::size_t arity(Signature s) {
  switch (s) {
    case Signature::Text:
    case Signature::Bool:
      return 0;
    case Signature::VoidDouble:
    case Signature::BoolText:
      return 1;
    case Signature::TextTextDouble:
    case Signature::VoidTextDouble:
    case Signature::TextTextText:
      return 2;
    case Signature::BoolTextDoubleDouble:
      return 3;
  }
  return 0;
}

// A finite decimal number, as a person types it: optional sign, digits with an optional point,
// an optional exponent. No blanks, hexadecimal, "nan", "inf", nor a value too large for a double.
std::optional<double> parseDouble(const std::string& text) {
  std::size_t at = 0;
  const auto skipSign = [&] { at += at < text.size() && (text[at] == '+' || text[at] == '-'); };
  const auto skipDigits = [&] {
    const std::size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    return at - start;
  };
  skipSign();
  std::size_t digits = skipDigits();
  if (at < text.size() && text[at] == '.') {
    ++at;
    digits += skipDigits();
  }
  if (digits == 0) return std::nullopt;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    skipSign();
    if (skipDigits() == 0) return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  const double value = std::strtod(text.c_str(), nullptr);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

std::string quoted(const char* text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

// Takes ownership of a returned text: prints it and releases it with the module's own release
// function, as a host should.
std::string takeText(char* text, void (*release)(void*)) {
  if (text == nullptr) return "null";
  std::string printed = quoted(text);
  release(text);
  return printed;
}

std::string printBool(bool value) { return value ? "1" : "0"; }

}  // namespace

void Host::Closer::operator()(void* handle) const { ::dlclose(handle); }

std::optional<Host> Host::load(const std::string& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "orvo: cannot load %s: %s\n", path.c_str(), ::dlerror());
    return std::nullopt;
  }
  return Host(handle);
}

Host::Result Host::call(const std::string& requested, const std::vector<std::string>& args,
                        std::vector<std::string>* logLines) const {
  // The Latin spelling is accepted on the command line for convenience; the symbol bound is
  // always the exported one.
  const std::string entry = requested == "GetCurrentGameOnFire" ? kCurrentOnFireName : requested;
  const EntryPoint* found = findEntryPoint(entry);
  if (found == nullptr) {
    std::fprintf(stderr, "orvo: unknown entry point %s (orvo --help lists them)\n",
                 requested.c_str());
    return {Result::Status::kUsage, {}};
  }
  const Signature signature = found->signature;
  if (args.size() != arity(signature)) {
    std::fprintf(stderr, "orvo: %s takes %zu argument(s)\n", requested.c_str(), arity(signature));
    return {Result::Status::kUsage, {}};
  }
  void* symbol = ::dlsym(handle_.get(), entry.c_str());
  if (symbol == nullptr) {
    std::fprintf(stderr, "orvo: the library exports no %s\n", requested.c_str());
    return {Result::Status::kUnavailable, {}};
  }
  std::vector<double> numbers(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    const bool numeric =
        (signature == Signature::VoidDouble && i == 0) ||
        ((signature == Signature::TextTextDouble || signature == Signature::VoidTextDouble ||
          signature == Signature::BoolTextDoubleDouble) &&
         i > 0);
    if (!numeric) continue;
    const std::optional<double> number = parseDouble(args[i]);
    if (!number) {
      std::fprintf(stderr, "orvo: not a finite decimal number: \"%s\"\n", args[i].c_str());
      return {Result::Status::kUsage, {}};
    }
    numbers[i] = *number;
  }
  const char* a0 = !args.empty() ? args[0].c_str() : nullptr;
  const char* a1 = args.size() > 1 ? args[1].c_str() : nullptr;

  const auto release = reinterpret_cast<void (*)(void*)>(::dlsym(handle_.get(), "OrvoModuleFree"));
  if (release == nullptr) {
    std::fprintf(stderr, "orvo: the library exports no OrvoModuleFree\n");
    return {Result::Status::kUnavailable, {}};
  }
  std::optional<LogCapture> capture;
  if (logLines != nullptr) capture.emplace();
  std::string printed;
  switch (signature) {
    case Signature::Text:
      printed = takeText(reinterpret_cast<char* (*)()>(symbol)(), release);
      break;
    case Signature::VoidDouble:
      reinterpret_cast<void (*)(double)>(symbol)(numbers[0]);
      printed = "(no result)";
      break;
    case Signature::TextTextDouble:
      printed = takeText(reinterpret_cast<char* (*)(const char*, double)>(symbol)(a0, numbers[1]),
                         release);
      break;
    case Signature::BoolTextDoubleDouble:
      printed = printBool(reinterpret_cast<bool (*)(const char*, double, double)>(symbol)(
          a0, numbers[1], numbers[2]));
      break;
    case Signature::VoidTextDouble:
      reinterpret_cast<void (*)(const char*, double)>(symbol)(a0, numbers[1]);
      printed = "(no result)";
      break;
    case Signature::TextTextText:
      printed =
          takeText(reinterpret_cast<char* (*)(const char*, const char*)>(symbol)(a0, a1), release);
      break;
    case Signature::BoolText:
      printed = printBool(reinterpret_cast<bool (*)(const char*)>(symbol)(a0));
      break;
    case Signature::Bool:
      printed = printBool(reinterpret_cast<bool (*)()>(symbol)());
      break;
  }
  if (capture) *logLines = capture->rawLines();
  return {Result::Status::kDone, printed};
}

std::string defaultLibraryPath() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::filesystem::path beside = self.parent_path() / "libOrvoModule.so.1";
  // Built beside the library; installed, the loader finds it where the package put it.
  return !ec && std::filesystem::exists(beside, ec) ? beside.string() : "libOrvoModule.so.1";
}

std::string entryPointHelp() {
  std::string help;
  for (const auto& [name, point] : entryPoints()) {
    const std::string shown = name == kCurrentOnFireName ? "GetCurrentGameOnFire" : name;
    char line[256];
    std::snprintf(line, sizeof line, "  %-20s %-20s %s\n", shown.c_str(), point.arguments,
                  point.result);
    help += line;
  }
  return help;
}

}  // namespace orvo::tool
