// The built agent under what a network, a desktop or a user can throw at it: floods from
// spoofed sources, outputs that stall, an X server that freezes, odd settings files, and
// crowds of clients. It must keep serving the tablets it can serve, within bounded
// resources, and end within a second of SIGTERM in every state.

#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e/agent_harness.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::string_view kListening = "Trovik: Listening and advertising as Bonjour service";
constexpr std::size_t kMaxClients = 512;  // the agent's bound on live clients

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // shadow memory and slower code: no resource figures
#else
constexpr bool kSanitized = false;
#endif

// What the agent holds: resident memory in kB, open descriptors, CPU time in seconds.
long residentKB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}
long openDescriptors(pid_t pid) {
  std::error_code error;
  const fs::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", error);
  return std::distance(fds, fs::directory_iterator());
}
double cpuSeconds(pid_t pid) {
  double nanoseconds = 0;
  std::ifstream("/proc/" + std::to_string(pid) + "/schedstat") >> nanoseconds;
  return nanoseconds / 1e9;
}

// Datagrams to the agent from any loopback source address, as a spoofing sender makes them.
class SpoofingSender {
 public:
  SpoofingSender() : socket_("0.0.0.0", 40000) {}
  void send(std::uint32_t source, std::string_view payload) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kCommandPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    iovec data{const_cast<char*>(payload.data()), payload.size()};
    msghdr message{&to, sizeof to, &data, 1, control, sizeof control, 0};
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    *header = {CMSG_LEN(sizeof(in_pktinfo)), IPPROTO_IP, IP_PKTINFO};
    reinterpret_cast<in_pktinfo*>(CMSG_DATA(header))->ipi_spec_dst.s_addr = htonl(source);
    ::sendmsg(socket_.fd(), &message, 0);
  }

 private:
  UdpPeer socket_;
};

class Robustness : public ::testing::Test {
 protected:
  void SetUp() override { TROVIK_REQUIRE_ISOLATION(); }

  void startX() {
    std::string error;
    server = testing::XvfbServer::start(error);
    TROVIK_REQUIRE_ENVIRONMENT(server != nullptr, "needs Xvfb: " + error);
    window = testing::XKeyRecorder::open(server->display(), error);
    ASSERT_TRUE(window) << error;
  }
  void launch(AgentOptions options = {}) {
    if (server) options.environment.emplace_back("DISPLAY", server->display());
    const bool reads = options.readOutput;
    agent.emplace(std::move(options));
    if (reads) {
      ASSERT_TRUE(agent->waitForLine(kListening)) << agent->errorText();
    }
  }

  // Says it again until the agent takes it as a client: new peers are admitted at a rate.
  static std::vector<std::string> greet(UdpPeer& tablet, UdpPeer& state,
                                        std::string_view first = "hello",
                                        std::chrono::seconds patience = kPatience) {
    std::vector<std::string> heard;
    for (auto deadline = std::chrono::steady_clock::now() + patience;
         heard.empty() && std::chrono::steady_clock::now() < deadline;) {
      tablet.sendTo(first, kCommandPort);
      if (auto datagram = state.receive(250ms)) heard.push_back(*datagram);
    }
    while (heard.size() < 3) {
      auto datagram = state.receive(kPatience);
      if (!datagram) break;
      heard.push_back(*datagram);
    }
    return heard;
  }

  // SIGTERM ends it within a second, with status 0, whatever state it is in.
  void expectQuickCleanExit() {
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->waitForExit(1s), 0) << agent->errorText();
  }

  std::unique_ptr<testing::XvfbServer> server;
  std::unique_ptr<testing::XKeyRecorder> window;
  std::optional<AgentProcess> agent;
};

TEST_F(Robustness, AFloodFromSpoofedSourcesCostsBoundedResourcesAndNoTabletItsKeys) {
  startX();
  AgentOptions options;
  options.program = "/bin/sh";  // with the file limit many desktops give
  options.arguments = {"-c", "ulimit -n 1024 && exec " TROVIK_HELPER_PATH};
  launch(std::move(options));
  UdpPeer tablet("127.0.0.2", 50000), state("127.0.0.2", kStatePort);
  ASSERT_EQ(greet(tablet, state).size(), 3u);
  const pid_t pid = agent->pid();
  const double cpuBefore = cpuSeconds(pid);

  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    SpoofingSender sender;
    const std::uint32_t first = (127u << 24) | (1u << 16);  // 127.1.0.0 onwards
    for (std::uint32_t n = 0; n < 100000; ++n) {
      sender.send(first + n, n % 2 ? "hello" : "");
      if (n % 500 == 499) std::this_thread::sleep_for(10ms);  // about 50,000 a second
    }
    flooding = false;
  });
  int commands = 0, confirmed = 0;
  long maxRss = 0, maxFds = 0;
  for (auto quietAfter = 200; flooding || quietAfter-- > 0; ++commands) {
    tablet.sendTo("a", kCommandPort);
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (state.receive(10ms) == "key:fired") {
        ++confirmed;
        break;
      }
    }
    maxRss = std::max(maxRss, residentKB(pid));
    maxFds = std::max(maxFds, openDescriptors(pid));
    std::this_thread::sleep_for(10ms);
  }
  flood.join();
  EXPECT_EQ(confirmed, commands);
  EXPECT_LE(maxFds, long(kMaxClients) + 64);
  if (!kSanitized) {
    EXPECT_LT(maxRss, 32 * 1024) << "kB";
    EXPECT_LT(cpuSeconds(pid) - cpuBefore, 20.0);
  }
  // A tablet that comes after the flood gets in at once.
  UdpPeer fresh("127.0.0.3", 50000), freshState("127.0.0.3", kStatePort);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(greet(fresh, freshState).size(), 3u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(test::waitUntil([&] {
    return agent->errorText().find("trovik-helper: network: dropped ") != std::string::npos;
  }));
  std::size_t listed = 0;  // every broadcast counts the state channels it saw
  for (const auto& line : agent->lines()) {
    if (line.starts_with("Trovik: Broadcasting 'key:fired' to ")) {
      listed = std::max<std::size_t>(listed, std::stoul(line.substr(36)));
    }
  }
  EXPECT_LE(listed, kMaxClients);
  expectQuickCleanExit();
}

TEST_F(Robustness, AStalledStandardOutputHoldsUpNeitherTabletsNorTheWayOut) {
  startX();
  AgentOptions options;
  options.readOutput = false;
  launch(std::move(options));
  UdpPeer tablet("127.0.0.2", 50000), state("127.0.0.2", kStatePort);
  ASSERT_EQ(greet(tablet, state).size(), 3u);
  // Each command logs two lines: far more than the pipe and the agent's buffer hold.
  for (int n = 0; n < 8000; ++n) {
    tablet.sendTo("a", kCommandPort);
    ASSERT_EQ(state.receive(kPatience), "key:fired") << "command " << n;
  }
  EXPECT_TRUE(test::waitUntil([&] {
    return agent->errorText().find(" lines dropped: standard output is not being read") !=
           std::string::npos;
  }));
  expectQuickCleanExit();
}

TEST_F(Robustness, WhateverStandsForTheSettingsFileTheAgentListensAtOnce) {
  char folder[] = "/tmp/trovik-settings-XXXXXX";
  ASSERT_TRUE(::mkdtemp(folder));
  const fs::path home = folder, file = home / "trovik-helper" / "defaults";
  fs::create_directories(file.parent_path());
  const std::pair<std::function<void()>, std::string> odd[] = {
      {[&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, "not a regular file"},
      {[&] { fs::create_symlink("/dev/zero", file); }, "not a regular file"},
      {[&] { fs::resize_file((std::ofstream(file) << "x=y\n", file), 10 << 20); },
       "larger than 64 KiB"},
  };
  for (const auto& [make, why] : odd) {
    fs::remove(file);
    make();
    AgentOptions options;
    options.environment = {{"XDG_CONFIG_HOME", home}};
    agent.emplace(std::move(options));
    EXPECT_TRUE(agent->waitForLine(kListening, 1s)) << agent->errorText();
    const std::string note = "trovik-helper: settings: ";
    EXPECT_TRUE(
        test::waitUntil([&] { return agent->errorText().find(note) != std::string::npos; }));
    const std::string said = agent->errorText();
    EXPECT_EQ(said.find(note, said.find(note) + 1), std::string::npos) << said;
    EXPECT_NE(said.find(file.string() + ": " + why), std::string::npos) << said;
    expectQuickCleanExit();
  }
  fs::remove_all(home);
}

// A crowd of new clients, each with a command as its first datagram, then twenty of them
// typing at once: each hears its opening sequence first, and every confirmation after it.
TEST_F(Robustness, ACrowdOfClientsHearTheirOpeningFirstAndEveryConfirmationAfter) {
  startX();
  launch();
  constexpr int kClients = 200, kTyping = 20, kCommands = 50;
  std::vector<std::unique_ptr<UdpPeer>> tablets(kClients), states(kClients);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0}, fired{0};
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      const std::string host = "127.0.2." + std::to_string(c + 1);
      tablets[c] = std::make_unique<UdpPeer>(host, 50000);
      states[c] = std::make_unique<UdpPeer>(host, kStatePort);
      // At the admission rate, 200 new clients take 25 s.
      const std::vector<std::string> opening = {"fcp:inactive", "app:inactive", "ax:granted"};
      if (greet(*tablets[c], *states[c], "SPACE", 60s) != opening) ++wrong;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  for (auto& state : states) {  // what the greetings set off
    while (state->receive(std::chrono::milliseconds(0))) {
    }
  }
  threads.clear();
  for (int c = 0; c < kTyping; ++c) {
    threads.emplace_back([&, c] {  // read as they come: a socket holds only so many
      for (int n = 0; n < kTyping * kCommands && states[c]->receive(kPatience) == "key:fired";
           ++n) {
        ++fired;
      }
    });
    threads.emplace_back([&, c] {
      for (int n = 0; n < kCommands; ++n, std::this_thread::sleep_for(2ms)) {
        tablets[c]->sendTo("b", kCommandPort);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(fired, kTyping * kTyping * kCommands);
  expectQuickCleanExit();
}

}  // namespace
}  // namespace trovik::e2e
