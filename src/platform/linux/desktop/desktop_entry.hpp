#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

// The few pieces of the freedesktop.org desktop entry format that autostart needs.
namespace trovik::desktop_entry {

// The keys of the file's [Desktop Entry] group, string escapes (\s \n \t \r \\) undone;
// nothing when `text` is not a desktop entry: a line that is neither a comment, a group
// header nor a key, a key before any group, or a first group of another name.
std::optional<std::map<std::string, std::string>> parse(std::string_view text);

// The program that an Exec value starts: its first argument, unquoted. Nothing when the
// value is empty or its quoting is broken.
std::optional<std::string> program(std::string_view exec);

// The Exec value, as it is written in the file, that starts `program` with no arguments:
// quoted when it holds a reserved character, '%' doubled. Nothing when it holds a control
// character, which no Exec value can carry.
std::optional<std::string> execFor(std::string_view program);

}  // namespace trovik::desktop_entry
