// The built agent typing into a real X server: a private Xvfb in the test's own network
// namespace, a focused window that records every key event, and a tablet talking UDP.

#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/agent_harness.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::e2e {
namespace {

using testing::addPress;
using testing::addShiftedPress;
using testing::Key;
using testing::kShiftL;
using testing::kSymShiftL;
using testing::SeenKey;
using testing::XKeyRecorder;
using testing::XvfbServer;
using namespace std::chrono_literals;

constexpr std::string_view kListening = "Trovik: Listening and advertising as Bonjour service";
constexpr std::string_view kNotGranted = "Trovik: Accessibility permission not granted";
const std::string kFiredBroadcast = "Trovik: Broadcasting 'key:fired' to 1 state clients";
// The agent asks for keyboard access every 2 s; a change shows at the next check.
constexpr auto kAccessPoll = 2s;

std::size_t count(const std::vector<std::string>& lines, std::string_view line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// An agent on a private X display whose focused window records keys, a state channel
// listener on the tablet's port, and one tablet.
class KeyboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TROVIK_REQUIRE_ISOLATION();
    std::string error;
    server = XvfbServer::start(error);
    TROVIK_REQUIRE_ENVIRONMENT(server != nullptr, "needs Xvfb: " + error);
    recorder = XKeyRecorder::open(server->display(), error);
    ASSERT_TRUE(recorder) << error;
    state.emplace("::", kStatePort);
    AgentOptions options;
    options.environment = {{"DISPLAY", server->display()}};
    agent.emplace(std::move(options));
    ASSERT_TRUE(agent->waitForLine(kListening)) << agent->errorText();
  }

  // The tablet says hello and hears the agent's state; keys can be typed from the start.
  void greet() {
    tablet.sendTo("hello", kCommandPort);
    for (const char* text : {"fcp:inactive", "app:inactive", "ax:granted"}) {
      EXPECT_EQ(state->receive(kPatience), text) << agent->errorText();
    }
  }

  // Stops the agent cleanly, so that every line it wrote and every datagram it sent is in.
  void stop() {
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->waitForExit(), 0) << agent->errorText();
  }

  std::unique_ptr<XvfbServer> server;
  std::unique_ptr<XKeyRecorder> recorder;
  std::optional<UdpPeer> state;
  std::optional<AgentProcess> agent;
  UdpPeer tablet;
};

TEST_F(KeyboardTest, EveryCommandTypesExactlyItsKeysAndIsConfirmedWithKeyFired) {
  const std::string granted = "Trovik: Broadcasting 'ax:granted' to 0 state clients";
  EXPECT_EQ(agent->lines().front(), granted);  // the launch check already finds XTest
  greet();

  struct Case {
    const char* command;
    std::vector<SeenKey> keys;
  };
  std::vector<Case> cases;
  const auto press = [&](const char* command, Key key) {
    cases.push_back({command, {}});
    addPress(cases.back().keys, key);
  };
  const auto shifted = [&](const char* command, Key key) {
    cases.push_back({command, {}});
    addShiftedPress(cases.back().keys, key);
  };
  press("SPACE", {65, ' '});
  press("RETURN", {36, 0xff0d});
  press("LEFT", {113, 0xff51});
  press("PREV_FRAME", {113, 0xff51});
  press("[", {34, '['});
  press("~", {49, '`'});           // the grave key, typed without Shift
  cases.push_back({"+PLAY", {}});  // names no key, yet is a handled command
  press("a", {38, 'a'});
  press("A", {38, 'a'});  // only "shift+" adds Shift
  press("7", {16, '7'});
  shifted("shift+a", {38, 'A'});
  shifted("shift+1", {10, '!'});
  press("esc", {26, 'e'});  // not a key name: the key of its first letter

  std::vector<SeenKey> expected;
  for (const auto& c : cases) {
    tablet.sendTo(c.command, kCommandPort);
    EXPECT_TRUE(agent->waitForLine("Trovik: Received '" + std::string(c.command) + "'"));
    EXPECT_EQ(state->receive(kPatience), "key:fired") << c.command;
    expected.insert(expected.end(), c.keys.begin(), c.keys.end());
  }
  // Exactly these events, in this order: a stray or repeated key shows up too.
  EXPECT_EQ(recorder->takeAll(expected.size(), 10s), expected);

  stop();
  // One confirmation per command and nothing more on the wire.
  EXPECT_EQ(count(agent->lines(), kFiredBroadcast), cases.size());
  EXPECT_EQ(count(agent->lines(), kNotGranted), 0u);
  EXPECT_FALSE(state->receive(0ms)) << "a datagram more than the commands asked for";
}

TEST_F(KeyboardTest, ABurstOfTwoHundredCommandsFromOneTabletArrivesInOrder) {
  greet();
  const std::string keys = "qwertyuiopasdfghjklzxcvbnm1234567890";
  std::vector<std::string> sent;
  for (int i = 0; i < 200; ++i) {
    sent.emplace_back(1, keys[static_cast<std::size_t>(i * 7) % keys.size()]);
    tablet.sendTo(sent.back(), kCommandPort);
  }

  std::size_t fired = 0;
  while (fired < sent.size() && state->receive(kPatience) == "key:fired") ++fired;
  EXPECT_EQ(fired, sent.size());
  const auto seen = recorder->takeAll(2 * sent.size(), 20s);
  ASSERT_EQ(seen.size(), 2 * sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const auto keysym = static_cast<xcb_keysym_t>(sent[i][0]);
    ASSERT_EQ(seen[2 * i], (SeenKey{true, seen[2 * i].keycode, false, keysym})) << i;
    ASSERT_EQ(seen[2 * i + 1], (SeenKey{false, seen[2 * i].keycode, false, keysym})) << i;
  }

  stop();
  std::vector<std::string> received;
  for (const auto& line : agent->lines()) {
    if (line.starts_with("Trovik: Received '")) received.push_back(line);
  }
  ASSERT_EQ(received.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(received[i], "Trovik: Received '" + sent[i] + "'") << i;
  }
}

TEST_F(KeyboardTest, TheXServerGoingAwayDeniesKeysUntilAServerIsBackOnTheDisplay) {
  greet();
  const int display = server->number();
  recorder.reset();
  server->stop();

  // The next check notices it: allow one check interval, and a second for a busy machine.
  EXPECT_TRUE(
      agent->waitForLine("Trovik: Broadcasting 'ax:denied' to 1 state clients", kAccessPoll + 1s));
  EXPECT_EQ(state->receive(kPatience), "ax:denied");

  // Still serving: the command is heard, no key is typed and nothing is confirmed.
  tablet.sendTo("a", kCommandPort);
  EXPECT_TRUE(agent->waitForLine("Trovik: Received 'a'"));
  EXPECT_EQ(agent->nextLine(), kNotGranted);

  std::string error;
  server = XvfbServer::start(error, display);
  ASSERT_TRUE(server) << error;
  recorder = XKeyRecorder::open(server->display(), error);
  ASSERT_TRUE(recorder) << error;
  EXPECT_TRUE(agent->waitForLine("Trovik: Broadcasting 'ax:granted' to 1 state clients"));
  EXPECT_EQ(state->receive(kPatience), "ax:granted");  // and no key:fired before it

  tablet.sendTo("shift+a", kCommandPort);
  EXPECT_EQ(state->receive(kPatience), "key:fired");
  std::vector<SeenKey> expected;
  addShiftedPress(expected, {38, 'A'});
  EXPECT_EQ(recorder->takeAll(expected.size(), 10s), expected);
  stop();
}

}  // namespace
}  // namespace trovik::e2e
