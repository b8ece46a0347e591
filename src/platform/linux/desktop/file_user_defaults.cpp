#include "platform/linux/desktop/file_user_defaults.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "platform/linux/desktop/small_file.hpp"
#include "platform/linux/diagnostics.hpp"

namespace trovik {
namespace {

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

}  // namespace

std::filesystem::path xdgConfigHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
  return homeDirectory() / ".config";
}

std::filesystem::path FileUserDefaults::defaultFile() {
  return xdgConfigHome() / "trovik-helper" / "defaults";
}

std::optional<bool> FileUserDefaults::storedBool(const std::string& key) {
  const auto& all = values();
  const auto found = all.find(key);
  if (found == all.end()) return std::nullopt;
  return found->second == "true";
}

std::string FileUserDefaults::stringForKey(const std::string& key) {
  const auto& all = values();
  const auto found = all.find(key);
  return found != all.end() ? found->second : std::string();
}

void FileUserDefaults::setBool(bool value, const std::string& key) {
  // A key that could break the file's lines is not stored.
  if (key.empty() || key.find_first_of("=\n\r") != std::string::npos) return;
  auto& all = values();
  all[key] = value ? "true" : "false";
  std::string error;
  if (!write(all, error)) diagnose("settings", "could not save " + file_.string() + ": " + error);
}

FileUserDefaults::Values& FileUserDefaults::values() {
  if (!values_) {
    std::string problem;
    values_ = read(problem);
    if (!problem.empty()) {
      diagnose("settings", "ignoring " + file_.string() + ": " + problem);
      values_ = Values{};
    }
  }
  return *values_;
}

std::optional<FileUserDefaults::Values> FileUserDefaults::read(std::string& problem) const {
  const auto text = readSmallFile(file_, kMaxFileSize, problem);
  if (!text) return problem.empty() ? std::optional(Values{}) : std::nullopt;
  auto parsed = parse(*text);
  if (!parsed) problem = "not a settings file of this program";
  return parsed;
}

std::optional<FileUserDefaults::Values> FileUserDefaults::parse(const std::string& text) {
  Values parsed;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos || equals == 0 || line.find('\0') != std::string::npos) {
      return std::nullopt;
    }
    parsed[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return parsed;
}

bool FileUserDefaults::write(const Values& values, std::string& error) const {
  std::string text;
  for (const auto& [key, value] : values) text += key + "=" + value + "\n";
  const auto failure = replaceFile(file_, text);
  if (failure) error = *failure;
  return !failure;
}

}  // namespace trovik
