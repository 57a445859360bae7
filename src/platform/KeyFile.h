// The key files of the freedesktop.org Desktop Entry format (desktop entries, mimeapps.list),
// read from their bytes: pure functions, no file access.
#ifndef ORVO_PLATFORM_KEYFILE_H_
#define ORVO_PLATFORM_KEYFILE_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::xdg {

// A key file's entries, as views into its text, which must outlive it. The structure is checked
// once; a value only when it is read, so that a byte of another encoding in a comment or in a
// key nobody reads (a translated name) costs nothing.
class KeyFile {
 public:
  // Lines end in LF or CRLF. Each is a comment ('#' first, or blank), a group header ("[name]":
  // no '[', ']' or control character in the name; blanks may follow) or an entry "key=value"
  // after the first header. Blanks that start a line and those around '=' belong to neither key
  // nor value; a value keeps its trailing blanks. None for any other line.
  static std::optional<KeyFile> parse(std::string_view text);

  // The value of the last entry of `key` in `group` (a repeated group counts as one), as
  // written. None when there is none.
  std::optional<std::string_view> value(std::string_view group, std::string_view key) const;
  // The same, with keys compared ASCII-case-insensitively (they are MIME types).
  std::optional<std::string_view> valueIgnoringKeyCase(std::string_view group,
                                                       std::string_view key) const;

 private:
  struct Entry {
    std::string_view group;
    std::string_view key;
    std::string_view value;
  };
  template <typename KeyMatches>
  std::optional<std::string_view> lastValue(std::string_view group, KeyMatches matches) const;

  std::vector<Entry> entries_;
};

// A string value with the escapes \s \n \t \r \\ resolved; any other backslash stays as written.
// None when it is not UTF-8 or holds a NUL.
std::optional<std::string> decodeString(std::string_view raw);

// A list of strings: items end at every ';' that is not written "\;" (a last item needs none),
// with the escapes of decodeString resolved. Items are kept as written, blanks included. None
// when the value is not UTF-8 or holds a NUL.
std::optional<std::vector<std::string>> decodeStringList(std::string_view raw);

// Case folding of ASCII letters only, as MIME types and URL schemes are compared.
char asciiLower(char c);
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// What a desktop entry offers for opening URLs.
struct Application {
  std::string program;                 // TryExec, else the program of Exec: a name or a path
  std::vector<std::string> mimeTypes;  // MimeType of [Desktop Entry], items as written
};

// The application that a desktop entry describes. None when the text is no key file, has no
// [Desktop Entry] group of Type=Application, is Hidden=true, names no program, or one of the
// keys read here (Type, Hidden, TryExec, Exec, MimeType of [Desktop Entry]) is not valid: not
// UTF-8, a Hidden other than true or false, an Exec whose first argument is quoted wrongly,
// holds an unquoted reserved character or an '='.
std::optional<Application> readApplication(std::string_view text);

}  // namespace orvo::xdg

#endif  // ORVO_PLATFORM_KEYFILE_H_
