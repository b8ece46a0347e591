#include "platform/linux/desktop/small_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/linux/line_writer.hpp"

namespace trovik {
namespace {

std::string osText(int code) {
  return std::system_category().message(code);
}

std::string tooLarge(std::size_t limit) {
  return "larger than " + std::to_string(limit / 1024) + " KiB";
}

}  // namespace

std::optional<std::string> readSmallFile(const std::filesystem::path& file, std::size_t limit,
                                         std::string& problem) {
  problem.clear();
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) problem = osText(errno);
    return std::nullopt;
  }
  std::string text;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    problem = osText(errno);
  } else if (!S_ISREG(info.st_mode)) {
    problem = "not a regular file";
  } else if (static_cast<std::uintmax_t>(info.st_size) > limit) {
    problem = tooLarge(limit);
  } else {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() <= limit) {
      text.append(buffer, static_cast<std::size_t>(n));
    }
    if (n < 0) problem = osText(errno);
    if (text.size() > limit) problem = tooLarge(limit);  // it grew while being read
  }
  ::close(fd);
  if (!problem.empty()) return std::nullopt;
  return text;
}

std::optional<std::string> replaceFile(const std::filesystem::path& file, std::string_view text,
                                       mode_t mode) {
  std::error_code made;
  std::filesystem::create_directories(file.parent_path(), made);
  if (made) return made.message();

  const std::string temporary = file.string() + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return osText(errno);
  int failure = writeAll(fd, text) ? 0 : errno;
  if (!failure && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && !failure) failure = errno;
  if (!failure && ::rename(temporary.c_str(), file.c_str()) != 0) failure = errno;
  if (!failure) return std::nullopt;
  ::unlink(temporary.c_str());
  return osText(failure);
}

}  // namespace trovik
