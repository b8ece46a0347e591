#include "platform/linux/desktop/file_user_defaults.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
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
  const auto& all = values();
  const auto found = all.find(key);
  return found != all.end() && found->second == "true";
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
  // Non-blocking, so that a FIFO put in its place cannot hold the agent at start.
  const int fd = ::open(file_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) problem = osText(errno);
    return Values{};
  }
  std::string text;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    problem = osText(errno);
  } else if (!S_ISREG(info.st_mode)) {
    problem = "not a regular file";
  } else if (static_cast<std::uintmax_t>(info.st_size) > kMaxFileSize) {
    problem = "larger than " + std::to_string(kMaxFileSize / 1024) + " KiB";
  } else {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() <= kMaxFileSize) {
      text.append(buffer, static_cast<std::size_t>(n));
    }
    if (n < 0) problem = osText(errno);
    if (text.size() > kMaxFileSize)
      problem = "larger than " + std::to_string(kMaxFileSize / 1024) + " KiB";
  }
  ::close(fd);
  if (!problem.empty()) return std::nullopt;

  Values parsed;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos || equals == 0 || line.find('\0') != std::string::npos) {
      problem = "not a settings file of this program";
      return std::nullopt;
    }
    parsed[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return parsed;
}

bool FileUserDefaults::write(const Values& values, std::string& error) const {
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
