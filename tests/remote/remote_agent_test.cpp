// trovik-remote against the built agent, each test in a network namespace of its own.

#include <gmock/gmock.h>
#include <signal.h>

#include <atomic>
#include <iostream>
#include <thread>

#include "remote_run.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace std::chrono_literals;

constexpr std::string_view kListening = "Trovik: Listening and advertising as Bonjour service";

// A plain UDP echo: the floor under any round trip through the agent.
class Echo {
 public:
  Echo()
      : thread_([this] {
          while (!stop_) {
            if (auto d = peer_.receiveFrom(50ms)) peer_.sendTo(d->payload, d->port, d->address);
          }
        }) {}
  ~Echo() {
    stop_ = true;
    thread_.join();
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(peer_.port()); }

 private:
  UdpPeer peer_;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

// The watch's line without its time stamp ("14:03:59.127 ").
std::string stateOf(const std::optional<std::string>& line) {
  return line && line->size() > 13 ? line->substr(13) : line.value_or("(none)");
}

TEST(RemoteAgent, SendTypesKeysPingMeasuresAndWatchFollowsThePermission) {
  TROVIK_REQUIRE_ISOLATION();
  std::string error;
  auto server = testing::XvfbServer::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(server != nullptr, "needs Xvfb: " + error);
  auto recorder = testing::XKeyRecorder::open(server->display(), error);
  ASSERT_TRUE(recorder) << error;
  AgentProcess agent({{}, {{"DISPLAY", server->display()}}});
  ASSERT_TRUE(agent.waitForLine(kListening)) << agent.errorText();

  // The figures for the README: the agent with keys typed, then the bare UDP floor.
  Echo echo;
  for (const auto& target : {std::vector<std::string>{"--to", "127.0.0.1"},
                             std::vector<std::string>{"--echo", echo.address()}}) {
    std::vector<std::string> arguments{"ping", "--count", "1000", "--command", "SPACE", "--json"};
    arguments.insert(arguments.end(), target.begin(), target.end());
    const auto ping = runRemote(arguments, {}, &agent);
    EXPECT_EQ(ping.status, 0) << ping.err;
    ASSERT_EQ(ping.out.size(), 1u) << ping.err;
    EXPECT_THAT(ping.out[0], HasSubstr("\"count\":1000,\"unanswered\":0,\"min_us\":"));
    std::cout << ping.out[0] << std::endl;
  }
  EXPECT_EQ(recorder->takeAll(2000, 20s).size(), 2000u);  // each confirmed SPACE was typed

  const auto sent = runRemote({"send", "--to", "127.0.0.1", "SPACE", "shift+a"}, {}, &agent);
  EXPECT_EQ(sent.status, 0) << sent.err;
  std::vector<testing::SeenKey> expected;
  testing::addPress(expected, {65, ' '});
  testing::addShiftedPress(expected, {38, 'A'});
  EXPECT_EQ(recorder->takeAll(expected.size(), 10s), expected);

  // A watch that ended leaves its state channel behind, still reaching this host: the next
  // watch hears each message once all the same.
  std::optional<AgentProcess> watch;
  for (int run = 0; run < 2; ++run) {
    watch.emplace(remoteOptions({"watch", "--to", "127.0.0.1"}));
    for (const char* text : {"fcp:inactive", "app:inactive", "ax:granted"}) {
      EXPECT_EQ(stateOf(watch->nextLine()), text) << watch->errorText();
    }
    if (run == 0) {
      watch->signal(SIGINT);
      EXPECT_EQ(watch->waitForExit(), 0) << watch->errorText();
    }
  }
  const int display = server->number();
  server->stop();
  EXPECT_EQ(stateOf(watch->nextLine()), "ax:denied");
  server = testing::XvfbServer::start(error, display);
  ASSERT_TRUE(server) << error;
  EXPECT_EQ(stateOf(watch->nextLine()), "ax:granted");
  EXPECT_THAT(watch->lines().front(),
              ::testing::MatchesRegex("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} .*"));
  watch->signal(SIGINT);
  EXPECT_EQ(watch->waitForExit(), 0) << watch->errorText();
}

TEST(RemoteAgent, ExitStatusSaysWhyNoKeyWasConfirmed) {
  TROVIK_REQUIRE_ISOLATION();
  const std::vector<std::string> send{"send", "--to", "127.0.0.1", "--timeout", "0.5", "SPACE"};
  auto finished = runRemote(send);  // nothing listens: refused at once
  EXPECT_EQ(finished.status, 4);
  EXPECT_THAT(finished.err, StartsWith("trovik-remote: no agent at 127.0.0.1:9876"));
  {
    UdpPeer silent("127.0.0.1", kCommandPort);  // takes commands, never answers
    finished = runRemote(send);
    EXPECT_EQ(finished.status, 4);
    EXPECT_THAT(finished.err, HasSubstr("within 0.5 s"));
    EXPECT_EQ(silent.receive(0ms), "hello");
  }

  AgentProcess agent;  // no display, no uinput: it may not type
  ASSERT_TRUE(agent.waitForLine(kListening)) << agent.errorText();
  finished = runRemote(send);
  EXPECT_EQ(finished.status, 3) << finished.err;
  EXPECT_THAT(finished.err, StartsWith("trovik-remote: the agent at 127.0.0.1:9876 may not"));

  UdpPeer holder("::", kStatePort);
  finished = runRemote(send);
  EXPECT_EQ(finished.status, 2);
  EXPECT_THAT(finished.err, StartsWith("trovik-remote: UDP port 9877 is in use"));
  UdpPeer().sendTo("still here", kStatePort);
  EXPECT_EQ(holder.receive(kPatience), "still here");
}

}  // namespace
}  // namespace trovik::e2e
