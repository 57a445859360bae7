#include "platform/KeyFile.h"

#include <algorithm>

#include "platform/Utf8.h"

namespace orvo::xdg {
namespace {

constexpr std::string_view kDesktopEntryGroup = "Desktop Entry";
// What an unquoted argument of an Exec command line may not hold.
constexpr std::string_view kReservedInExec = " \t\n\"'\\><~|&;$*?#()`";
// What a backslash escapes inside a quoted argument of Exec.
constexpr std::string_view kEscapedInQuotes = "\"`$\\";

constexpr std::string_view kBlanks = " \t";

bool isGroupName(std::string_view name) {
  return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return c == '[' || c == ']' || byte < 0x20 || byte == 0x7f;
  });
}

// The character that a backslash before `c` stands for; NUL when it escapes nothing.
char unescaped(char c, bool inList) {
  switch (c) {
    case 's':
      return ' ';
    case 'n':
      return '\n';
    case 't':
      return '\t';
    case 'r':
      return '\r';
    case '\\':
      return '\\';
    case ';':
      return inList ? ';' : '\0';
    default:
      return '\0';
  }
}

// The items of a value (one item unless `isList`), escapes resolved.
std::optional<std::vector<std::string>> decode(std::string_view raw, bool isList) {
  if (!isValidUtf8(raw) || raw.find('\0') != std::string_view::npos) return std::nullopt;
  std::vector<std::string> items(1);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char escaped =
        raw[i] == '\\' && i + 1 < raw.size() ? unescaped(raw[i + 1], isList) : '\0';
    if (escaped != '\0') {
      items.back() += escaped;
      ++i;
    } else if (isList && raw[i] == ';') {
      items.emplace_back();
    } else {
      items.back() += raw[i];
    }
  }
  if (isList && items.back().empty()) items.pop_back();
  return items;
}

// The first argument of an Exec command line, quoting undone: a whole argument in double quotes
// (a backslash escapes " ` $ and itself there) or one without reserved characters.
std::optional<std::string> execProgram(std::string_view commandLine) {
  const std::size_t start = commandLine.find_first_not_of(' ');
  if (start == std::string_view::npos) return std::nullopt;
  const std::string_view line = commandLine.substr(start);
  std::string program;
  std::size_t end = 0;
  if (line.front() == '"') {
    for (end = 1; end < line.size() && line[end] != '"'; ++end) {
      const bool escape = line[end] == '\\' && end + 1 < line.size() &&
                          kEscapedInQuotes.find(line[end + 1]) != std::string_view::npos;
      if (escape) ++end;
      program += line[end];
    }
    if (end == line.size()) return std::nullopt;  // never closed
    ++end;
  } else {
    end = std::min(line.find(' '), line.size());
    program = line.substr(0, end);
    if (program.find_first_of(kReservedInExec) != std::string::npos) return std::nullopt;
  }
  if (end < line.size() && line[end] != ' ') return std::nullopt;  // quotes around a part
  if (program.empty() || program.find('=') != std::string::npos) return std::nullopt;
  return program;
}

// A key of [Desktop Entry] as a string: empty when absent, none when not valid.
std::optional<std::string> desktopEntryString(const KeyFile& file, std::string_view key) {
  const std::optional<std::string_view> raw = file.value(kDesktopEntryGroup, key);
  return raw ? decodeString(*raw) : std::string();
}

}  // namespace

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return asciiLower(x) == asciiLower(y);
         });
}

std::optional<KeyFile> KeyFile::parse(std::string_view text) {
  KeyFile file;
  std::optional<std::string_view> group;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = withoutLeading(line, kBlanks);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      const std::string_view header = withoutTrailing(line, kBlanks);
      if (header.back() != ']' || !isGroupName(header.substr(1, header.size() - 2))) {
        return std::nullopt;
      }
      group = header.substr(1, header.size() - 2);
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || !group) return std::nullopt;
    const std::string_view key = withoutTrailing(line.substr(0, equals), kBlanks);
    if (key.empty()) return std::nullopt;
    file.entries_.push_back({*group, key, withoutLeading(line.substr(equals + 1), kBlanks)});
  }
  return file;
}

template <typename KeyMatches>
std::optional<std::string_view> KeyFile::lastValue(std::string_view group,
                                                   KeyMatches matches) const {
  const auto last = std::find_if(entries_.rbegin(), entries_.rend(), [&](const Entry& e) {
    return e.group == group && matches(e.key);
  });
  if (last == entries_.rend()) return std::nullopt;
  return last->value;
}

std::optional<std::string_view> KeyFile::value(std::string_view group, std::string_view key) const {
  return lastValue(group, [&](std::string_view k) { return k == key; });
}

std::optional<std::string_view> KeyFile::valueIgnoringKeyCase(std::string_view group,
                                                              std::string_view key) const {
  return lastValue(group, [&](std::string_view k) { return equalsIgnoringAsciiCase(k, key); });
}

std::optional<std::string> decodeString(std::string_view raw) {
  std::optional<std::vector<std::string>> items = decode(raw, false);
  if (!items) return std::nullopt;
  return std::move(items->front());
}

std::optional<std::vector<std::string>> decodeStringList(std::string_view raw) {
  return decode(raw, true);
}

std::optional<Application> readApplication(std::string_view text) {
  const std::optional<KeyFile> file = KeyFile::parse(text);
  if (!file) return std::nullopt;
  const std::optional<std::string> type = desktopEntryString(*file, "Type");
  const std::optional<std::string> hidden = desktopEntryString(*file, "Hidden");
  const std::optional<std::string> tryExec = desktopEntryString(*file, "TryExec");
  if (type != "Application" || !hidden || !tryExec) return std::nullopt;
  // A boolean is true or false; GLib also forgives trailing blanks, and so do we.
  const std::string_view isHidden = withoutTrailing(*hidden, kBlanks);
  if (isHidden == "true" || !(isHidden.empty() || isHidden == "false")) return std::nullopt;
  Application application;
  if (!tryExec->empty()) {
    application.program = *tryExec;
  } else {
    const std::optional<std::string> exec = desktopEntryString(*file, "Exec");
    std::optional<std::string> program = exec ? execProgram(*exec) : std::nullopt;
    if (!program) return std::nullopt;
    application.program = std::move(*program);
  }
  const std::optional<std::string_view> mimeTypes = file->value(kDesktopEntryGroup, "MimeType");
  if (mimeTypes) {
    std::optional<std::vector<std::string>> types = decodeStringList(*mimeTypes);
    if (!types) return std::nullopt;
    application.mimeTypes = std::move(*types);
  }
  return application;
}

}  // namespace orvo::xdg
