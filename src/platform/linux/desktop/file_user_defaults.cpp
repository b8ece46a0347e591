#include "platform/linux/desktop/file_user_defaults.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "platform/linux/stdout_log.hpp"

namespace trovik {
namespace {

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

std::string osText(int code) {
  return std::system_category().message(code);
}

}  // namespace

std::filesystem::path FileUserDefaults::defaultFile() {
  std::filesystem::path config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    config = xdg;
  } else {
    config = homeDirectory() / ".config";
  }
  return config / "trovik-helper" / "defaults";
}

bool FileUserDefaults::boolForKey(const std::string& key) {
  const auto values = read();
  const auto found = values.find(key);
  return found != values.end() && found->second == "true";
}

void FileUserDefaults::setBool(bool value, const std::string& key) {
  // A key that could break the file's lines is not stored.
  if (key.empty() || key.find_first_of("=\n\r") != std::string::npos) return;
  auto values = read();
  values[key] = value ? "true" : "false";
  std::string error;
  if (!write(values, error))
    diagnose("settings", "could not save " + file_.string() + ": " + error);
}

std::map<std::string, std::string> FileUserDefaults::read() const {
  std::map<std::string, std::string> values;
  std::ifstream in(file_);
  std::string line;
  while (std::getline(in, line)) {
    const auto equals = line.find('=');
    if (equals == std::string::npos || equals == 0) continue;  // not ours: skipped
    values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

bool FileUserDefaults::write(const std::map<std::string, std::string>& values,
                             std::string& error) const {
  std::error_code made;
  std::filesystem::create_directories(file_.parent_path(), made);
  if (made) {
    error = made.message();
    return false;
  }
  std::string text;
  for (const auto& [key, value] : values) text += key + "=" + value + "\n";

  const std::string temporary = file_.string() + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = osText(errno);
    return false;
  }
  int failure = writeAll(fd, text) ? 0 : errno;
  if (!failure && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && !failure) failure = errno;
  if (!failure && ::rename(temporary.c_str(), file_.c_str()) != 0) failure = errno;
  if (!failure) return true;
  ::unlink(temporary.c_str());
  error = osText(failure);
  return false;
}

}  // namespace trovik
