#include "platform/linux/desktop/desktop_entry.hpp"

#include <algorithm>

namespace trovik::desktop_entry {
namespace {

constexpr std::string_view kSpace = " \t";

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

bool isKey(std::string_view key) {
  const auto name = key.substr(0, key.find('['));  // a locale may follow: Name[de]
  if (name.empty() || (name.size() < key.size() && key.back() != ']')) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return c == '-' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  });
}

std::string unescaped(std::string_view value) {
  constexpr std::string_view kCodes = "sntr\\", kMeanings = " \n\t\r\\";
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const bool escape = value[i] == '\\' && i + 1 < value.size();
    const auto code = escape ? kCodes.find(value[i + 1]) : std::string_view::npos;
    if (code == std::string_view::npos) {
      out += value[i];
    } else {
      out += kMeanings[code];
      ++i;
    }
  }
  return out;
}

// Field codes aside, "%%" is how an Exec value writes '%'.
std::string withoutDoubledPercent(std::string text) {
  for (auto at = text.find("%%"); at != std::string::npos; at = text.find("%%", at + 1)) {
    text.erase(at, 1);
  }
  return text;
}

}  // namespace

std::optional<std::map<std::string, std::string>> parse(std::string_view text) {
  std::map<std::string, std::string> keys;
  std::optional<std::string> group;
  while (!text.empty()) {
    const auto end = std::min(text.find('\n'), text.size());
    const std::string_view line = trimmed(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      const std::string name(line.substr(1, line.size() - 2));
      if (!group && name != "Desktop Entry") return std::nullopt;
      group = name;
      continue;
    }
    const auto equals = line.find('=');
    if (!group || equals == std::string_view::npos) return std::nullopt;
    const auto key = trimmed(line.substr(0, equals));
    if (!isKey(key)) return std::nullopt;
    if (group == "Desktop Entry") {
      keys[std::string(key)] = unescaped(trimmed(line.substr(equals + 1)));
    }
  }
  if (!group) return std::nullopt;
  return keys;
}

std::optional<std::string> program(std::string_view exec) {
  exec = trimmed(exec);
  if (exec.empty()) return std::nullopt;
  if (exec.front() != '"') {
    return withoutDoubledPercent(std::string(exec.substr(0, exec.find_first_of(kSpace))));
  }
  constexpr std::string_view kEscaped = "\"`$\\";  // the characters a quoted argument escapes
  std::string argument;
  for (std::size_t i = 1; i < exec.size(); ++i) {
    if (exec[i] == '"') return withoutDoubledPercent(argument);
    const bool escape = exec[i] == '\\' && i + 1 < exec.size();
    if (escape && kEscaped.find(exec[i + 1]) != std::string_view::npos) ++i;
    argument += exec[i];
  }
  return std::nullopt;  // no closing quote
}

std::optional<std::string> execFor(std::string_view program) {
  if (program.empty() || std::any_of(program.begin(), program.end(),
                                     [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
    return std::nullopt;
  }
  const bool quote = program.find_first_of(" \t\"'\\><~|&;$*?#()`") != std::string_view::npos;
  std::string exec = quote ? "\"" : "";
  for (const char c : program) {
    if (c == '%') exec += '%';
    // Escaped once inside the quotes, and every backslash once more as the file's string.
    if (std::string_view("\"`$\\").find(c) != std::string_view::npos) exec += "\\\\";
    exec += c == '\\' ? std::string_view("\\\\") : std::string_view(&c, 1);
  }
  if (quote) exec += '"';
  return exec;
}

}  // namespace trovik::desktop_entry
