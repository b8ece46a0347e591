// `trovik-remote keys` on a pseudo-terminal, with the test playing the agent.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include "e2e/agent_harness.hpp"

namespace trovik::e2e {
namespace {

using namespace std::chrono_literals;

// Reads the terminal's output until it shows `text`; false when it does not within kPatience.
bool showsUp(int master, const std::string& text, std::string& screen) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (screen.find(text) == std::string::npos) {
    pollfd entry{master, POLLIN, 0};
    char buffer[1024];
    if (std::chrono::steady_clock::now() > deadline || poll(&entry, 1, 100) < 0) return false;
    const ssize_t size = entry.revents ? read(master, buffer, sizeof buffer) : 0;
    if (size < 0) return false;
    screen.append(buffer, std::size_t(size));
  }
  return true;
}

TEST(RemoteKeys, TerminalKeysArriveAsCommandsAndTheTerminalModeComesBack) {
  TROVIK_REQUIRE_ISOLATION();
  UdpPeer agent("127.0.0.1", kCommandPort);
  int master = -1, terminal = -1;
  ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
  termios before{};
  ASSERT_EQ(tcgetattr(terminal, &before), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(master);
    login_tty(terminal);
    execl(TROVIK_REMOTE_PATH, "trovik-remote", "keys", "--to", "127.0.0.1", nullptr);
    _exit(127);
  }
  ASSERT_EQ(agent.receive(kPatience), "hello");
  UdpPeer channel;  // the agent's state channel to this host
  for (const char* text : {"fcp:inactive", "app:active:com.adobe.premierepro", "ax:granted"}) {
    channel.sendTo(text, kStatePort);
  }
  std::string screen;
  EXPECT_TRUE(showsUp(master, "keys: granted  editor: com.adobe.premierepro", screen)) << screen;
  termios raw{};
  tcgetattr(terminal, &raw);
  EXPECT_FALSE(raw.c_lflag & (ICANON | ECHO | ISIG));

  const std::pair<std::string, std::string> keys[] = {
      {"\x1b[A", "UP"}, {"\x1bOD", "LEFT"}, {"A", "shift+a"},    {"!", "shift+1"},
      {"\x1b", "ESC"},  {" ", "SPACE"},     {"\r", "RETURN"},    {"\x7f", "DELETE"},
      {"\t", "TAB"},    {"~", "~"},         {"_\x1b[15~7", "7"},  // no command for "_" or F5
  };
  for (const auto& [typed, command] : keys) {
    ASSERT_EQ(write(master, typed.data(), typed.size()), ssize_t(typed.size()));
    EXPECT_EQ(agent.receive(kPatience), command) << "typed " << ::testing::PrintToString(typed);
  }

  ASSERT_EQ(write(master, "\x04", 1), 1);
  int status = -1;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
  termios after{};
  tcgetattr(terminal, &after);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_FALSE(agent.receive(0ms)) << "Ctrl+D is no command";
  close(master);
  close(terminal);
}

}  // namespace
}  // namespace trovik::e2e
