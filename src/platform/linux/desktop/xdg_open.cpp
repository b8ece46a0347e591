#include "platform/linux/desktop/xdg_open.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/linux/diagnostics.hpp"

extern char** environ;

namespace trovik {
namespace {

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// Bytes outside the unreserved set (and the path's slashes) are escaped, so that a folder
// named with spaces or '#' still makes one well-formed link.
std::string fileLink(const std::filesystem::path& file) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string link = "file://";
  for (const unsigned char c : file.string()) {
    const bool alphanumeric = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
    if (alphanumeric || (c != 0 && std::strchr("/-._~", c))) {
      link += static_cast<char>(c);
    } else {
      link += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return link;
}

// Reaps xdg-open, so that it leaves no zombie, and says when it could not open the link.
void reapLater(pid_t pid, const std::string& url) {
  const auto reap = [pid, url] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
      diagnose("workspace", "xdg-open could not open " + url + " (exit status " +
                                std::to_string(WEXITSTATUS(status)) + ")");
    }
  };
  try {
    std::thread(reap).detach();
  } catch (const std::system_error&) {
    // Without a thread it stays a zombie until the agent ends: harmless.
  }
}

int spawnXdgOpen(pid_t& pid, const std::string& url) {
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  // Its standard output would mix with the agent's log; none of the agent's sockets may
  // outlive it in a browser.
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  // Its own session, so that Ctrl+C in the agent's terminal leaves it be, with the signal
  // dispositions and mask a fresh program expects rather than the agent's.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::string program = "xdg-open";
  std::string argument = url;
  char* argv[] = {program.data(), argument.data(), nullptr};
  const int result = ::posix_spawnp(&pid, "xdg-open", &actions, &attributes, argv, environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return result;
}

}  // namespace

std::string keyboardAccessHelpLink(const std::filesystem::path& program) {
  // Found beside the program rather than at the configured prefix, so that a build tree
  // never opens an older installed page, and a moved install still finds its own.
  std::error_code error;
  const auto binary = std::filesystem::canonical(program, error);
  if (!error) {
    const auto page = (binary.parent_path() / TROVIK_HELP_FROM_BINDIR / "keyboard-access.html")
                          .lexically_normal();
    if (std::filesystem::is_regular_file(page, error)) return fileLink(page);
  }
  const std::filesystem::path readme = TROVIK_SOURCE_README;
  if (std::filesystem::is_regular_file(readme, error)) return fileLink(readme);
  return {};
}

bool openWithDesktop(const std::string& requested, const std::string& helpAlias, int notes) {
  std::string url = requested;
  if (!helpAlias.empty() && requested == helpAlias) {
    url = keyboardAccessHelpLink();
    if (url.empty()) {
      diagnose("workspace", "cannot open the keyboard-access help: it is not installed", notes);
      return false;
    }
  }
  if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY")) {
    diagnose("workspace", "no desktop session to open " + url + " in", notes);
    return false;
  }
  pid_t pid = 0;
  if (const int error = spawnXdgOpen(pid, url); error != 0) {
    diagnose("workspace", "cannot open " + url + ": xdg-open: " + std::strerror(error), notes);
    return false;
  }
  reapLater(pid, url);
  return true;
}

}  // namespace trovik
