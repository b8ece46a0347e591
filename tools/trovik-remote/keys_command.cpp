#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent_target.hpp"
#include "commands.hpp"
#include "failure.hpp"
#include "key_input.hpp"
#include "service/messages.hpp"
#include "session.hpp"

namespace trovik::remote {
namespace {

using Kind = Session::Event::Kind;

constexpr std::chrono::seconds kHelloInterval{5};  // as in watch: follows agent restarts
// How long the rest of an escape sequence may take before ESC counts as the Escape key.
constexpr int kEscapeWaitMs = 50;

// The terminal in raw mode for as long as this lives; its mode as it was afterwards.
class RawTerminal {
 public:
  explicit RawTerminal(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) {
      throw Failure(kExitUsage, std::string("keys needs a terminal: ") + std::strerror(errno));
    }
    termios raw = saved_;
    // No signals from Ctrl+C: it arrives as a byte and leaves through the normal path.
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~tcflag_t(IXON | ICRNL | INLCR | IGNCR | BRKINT | ISTRIP);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(fd_, TCSAFLUSH, &raw) != 0) {
      throw Failure(kExitUsage,
                    std::string("cannot set the terminal's mode: ") + std::strerror(errno));
    }
  }
  ~RawTerminal() { tcsetattr(fd_, TCSAFLUSH, &saved_); }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

 private:
  int fd_;
  termios saved_{};
};

// One line that shows what the agent last said and what was last sent, rewritten in place.
struct StatusLine {
  std::string agent, permission = "?", editor = "?", sent = "-", note;

  void take(const std::string& text) {
    if (isPermission(text)) permission = text == messages::kAxGranted ? "granted" : "denied";
    if (text == messages::kAppInactive) editor = "none";
    if (text.starts_with(messages::kAppActivePrefix)) {
      editor = text.substr(messages::kAppActivePrefix.size());
    }
    note.clear();
  }
  void show() const {
    std::string line = "\r\x1b[K" + agent + "  keys: " + permission + "  editor: " + editor +
                       "  sent: " + sent + (note.empty() ? "" : "  (" + note + ")") +
                       "  [Ctrl+C leaves]";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
};

// Reads what the terminal has and sends its keys; false once the user asked to leave.
bool forwardKeys(Session& session, std::string& pending, StatusLine& status) {
  char buffer[256];
  const ssize_t size = read(STDIN_FILENO, buffer, sizeof buffer);
  if (size == 0 || (size < 0 && errno != EINTR && errno != EAGAIN)) return false;
  if (size > 0) pending.append(buffer, std::size_t(size));
  auto keys = decodeKeys(pending, false);
  pollfd more{STDIN_FILENO, POLLIN, 0};
  if (!pending.empty() && poll(&more, 1, kEscapeWaitMs) == 0) {
    for (auto& key : decodeKeys(pending, true)) keys.push_back(std::move(key));
  }
  for (const auto& key : keys) {
    if (key.kind == KeyInput::Kind::Quit) return false;
    const auto error = session.send(key.command);
    status.sent = key.command;
    status.note = error.value_or("");
  }
  return true;
}

}  // namespace

int runKeys(const std::optional<std::string>& to) {
  if (!isatty(STDIN_FILENO)) throw Failure(kExitUsage, "keys needs a terminal on standard input");
  const Endpoint agent = findAgent(to);
  InterruptGuard guard;
  Session session(agent);
  RawTerminal terminal(STDIN_FILENO);
  StatusLine status;
  status.agent = agent.description();
  std::string pending;
  for (bool running = true; running;) {
    session.send(messages::kHello);
    status.show();
    const auto nextHello = Clock::now() + kHelloInterval;
    for (bool waiting = true; waiting && running;) {
      auto event = session.wait(nextHello, STDIN_FILENO);
      switch (event.kind) {
        case Kind::State:
          status.take(event.text);
          break;
        case Kind::Refused:
          status.note = "no agent: " + event.text;
          break;
        case Kind::Input:
          running = forwardKeys(session, pending, status);
          break;
        case Kind::Interrupted:
          running = false;
          break;
        case Kind::Timeout:
          waiting = false;
          break;
      }
      if (running) status.show();
    }
  }
  std::fputs("\r\n", stdout);
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace trovik::remote
