#pragma once

// A headless sway for tests. wlroots compositors refuse to run as root, so it runs as the
// unprivileged user 65534 with a runtime folder it owns. Start it only inside a network
// namespace the test made.

#include <sys/socket.h>
#include <sys/stat.h>
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
  static constexpr uid_t kUser = 65534;
  // The same user's setpriv, to put in front of a command.
  static inline const std::vector<std::string> kAsUser = {"setpriv", "--reuid=65534",
                                                          "--regid=65534", "--clear-groups"};

  static std::unique_ptr<SwaySession> start(std::string& error,
                                            const std::string& config = "xwayland disable\n") {
    if (std::system("command -v sway setpriv >/dev/null") != 0) {
      error = "needs sway and setpriv (scripts/install-deps)";
      return nullptr;
    }
    std::unique_ptr<SwaySession> session(new SwaySession);
    std::ofstream(session->path + "/config") << config;
    std::filesystem::create_directory(session->path + "/home");
    for (const char* name : {"", "/config", "/home"}) {
      if (::chown((session->path + name).c_str(), kUser, kUser) != 0) {
        error = "cannot hand the runtime folder to user 65534";
        return nullptr;
      }
    }
    ::chmod(session->path.c_str(), 0700);
    return session->launch(error) ? std::move(session) : nullptr;
  }

  // Starts sway again after stop(), on the same socket.
  bool launch(std::string& error) {
    namespace fs = std::filesystem;
    for (const auto& entry : fs::directory_iterator(path)) {
      const std::string name = entry.path().filename();
      if (name.starts_with("wayland-") || name.starts_with("sway-ipc")) fs::remove(entry);
    }
    test::ProcessOptions options{kAsUser};
    for (const char* word : {"sway", "-c"}) options.argv.push_back(word);
    options.argv.push_back(path + "/config");
    options.environment = {{"XDG_RUNTIME_DIR", path},
                           {"HOME", path + "/home"},
                           {"WLR_BACKENDS", "headless"},
                           {"WLR_LIBINPUT_NO_DEVICES", "1"},
                           {"WLR_RENDERER", "pixman"}};
    options.unset = {"WAYLAND_DISPLAY", "DISPLAY", "SWAYSOCK"};
    process_.emplace(options);
    const bool up = test::waitUntil([&] {
      for (const auto& entry : fs::directory_iterator(path)) {
        const std::string name = entry.path().filename();
        if (name.starts_with("sway-ipc")) ipc_ = entry.path();
        if (name.starts_with("wayland-") && !name.ends_with(".lock")) socket_ = entry.path();
      }
      return !ipc_.empty() && !socket_.empty();
    });
    if (!up) error = "sway did not start";
    return up;
  }
  void stop() { process_.reset(), ipc_.clear(), socket_.clear(); }

  // For WAYLAND_DISPLAY.
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
  std::string ipc_, socket_;
};

}  // namespace trovik::testing
