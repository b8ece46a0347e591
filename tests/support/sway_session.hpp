#pragma once

// A headless sway for tests. wlroots compositors refuse to run as root, so it runs as the
// unprivileged user 65534 with a runtime folder it owns. Start it only inside a network
// namespace the test made.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/test_environment.hpp"

namespace trovik::testing {

class SwaySession {
 public:
  // The user's setpriv, to put in front of a command.
  static inline const std::vector<std::string> kAsUser = {"setpriv", "--reuid=65534",
                                                          "--regid=65534", "--clear-groups"};

  static std::unique_ptr<SwaySession> start(std::string& error,
                                            const std::string& config = "xwayland disable\n") {
    std::unique_ptr<SwaySession> session(new SwaySession);
    std::ofstream(session->path + "/config") << config;
    if (std::system("command -v sway setpriv >/dev/null") != 0 ||
        ::chown(session->path.c_str(), 65534, 65534) != 0) {
      error = "needs sway and setpriv (scripts/install-deps), run as root";
      return nullptr;
    }
    return session->launch(error) ? std::move(session) : nullptr;
  }

  // Starts sway again after stop(), on the same sockets.
  bool launch(std::string& error) {
    test::ProcessOptions options{kAsUser};
    options.argv.insert(options.argv.end(), {"sway", "-c", path + "/config"});
    options.environment = {{"XDG_RUNTIME_DIR", path},
                           {"SWAYSOCK", ipc_},
                           {"WLR_BACKENDS", "headless"},
                           {"WLR_LIBINPUT_NO_DEVICES", "1"},
                           {"WLR_RENDERER", "pixman"}};
    options.unset = {"WAYLAND_DISPLAY", "DISPLAY"};
    process_.emplace(options);
    namespace fs = std::filesystem;
    if (test::waitUntil([&] { return fs::exists(ipc_) && fs::exists(socket_); })) return true;
    error = "sway did not start";
    return false;
  }
  // Ends sway as a user's logout does; it removes its sockets.
  void stop() { process_.reset(); }
  void pause(bool paused) const { process_->signal(paused ? SIGSTOP : SIGCONT); }

  // For WAYLAND_DISPLAY: the first free name, in a runtime folder of its own.
  const std::string& socket() const { return socket_; }
  // Each command a message of its own on one IPC connection, as swaymsg sends it, and answered
  // before the next; true when all succeeded.
  bool command(const std::vector<std::string>& commands) const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    ipc_.copy(address.sun_path, sizeof address.sun_path - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    for (const auto& command : commands) {
      const std::uint32_t header[2] = {static_cast<std::uint32_t>(command.size()), 0};  // run
      std::string message = "i3-ipc";
      message.append(reinterpret_cast<const char*>(header), sizeof header).append(command);
      char reply[14];
      ok = ok &&
           ::send(fd, message.data(), message.size(), MSG_NOSIGNAL) == ssize_t(message.size()) &&
           ::recv(fd, reply, sizeof reply, MSG_WAITALL) == sizeof reply;
      std::uint32_t length = 0;
      std::memcpy(&length, reply + 6, sizeof length);
      std::string answer(ok ? length : 0, '\0');
      ok = ok && ::recv(fd, answer.data(), length, MSG_WAITALL) == ssize_t(length) &&
           answer.find("false") == std::string::npos;
    }
    ::close(fd);
    return ok;
  }
  bool command(const std::string& command) const { return this->command(std::vector{command}); }

  const test::TempFolder folder;
  const std::string& path = folder.path;

 private:
  SwaySession() = default;
  std::optional<test::Process> process_;
  const std::string ipc_ = path + "/ipc.sock", socket_ = path + "/wayland-1";
};

}  // namespace trovik::testing
