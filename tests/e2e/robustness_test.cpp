// The built agent under what a network, a desktop or a user can throw at it: floods from
// spoofed sources, outputs that stall, and odd settings files. It must keep
// serving the tablets it can serve, within bounded resources, and end within a second of
// SIGTERM in every state. (A frozen X server and a tablet's neighbour going are table rows.)

#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "e2e/agent_harness.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::size_t kMaxClients = 512;  // the agent's bound on live clients

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // shadow memory and slower code: no resource figures
#else
constexpr bool kSanitized = false;
#endif

// What the agent holds: resident memory in kB, open descriptors, CPU time in seconds.
struct Usage {
  long residentKB = 0, descriptors = 0;
  double cpuSeconds = 0;
};
Usage usage(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  Usage now;
  std::ifstream(proc + "/statm") >> now.residentKB >> now.residentKB;  // in pages
  now.residentKB *= ::sysconf(_SC_PAGESIZE) / 1024;
  std::error_code error;
  now.descriptors = std::distance(fs::directory_iterator(proc + "/fd", error), {});
  // Fields from the state on, after the name: utime and stime of all threads, in clock
  // ticks, are the 14th and 15th.
  std::ifstream stat(proc + "/stat");
  stat.ignore(1 << 12, ')');
  std::string skip;
  long user = 0, system = 0;
  for (int field = 3; field < 14; ++field) stat >> skip;
  stat >> user >> system;
  now.cpuSeconds = double(user + system) / ::sysconf(_SC_CLK_TCK);
  return now;
}

// A datagram to the agent from any loopback source address, as a spoofing sender makes it.
void spoof(int fd, std::uint32_t source, std::string_view payload) {
  sockaddr_in to{AF_INET, htons(kCommandPort), {htonl(INADDR_LOOPBACK)}, {}};
  char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  iovec data{const_cast<char*>(payload.data()), payload.size()};
  msghdr message{&to, sizeof to, &data, 1, control, sizeof control, 0};
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  *header = {CMSG_LEN(sizeof(in_pktinfo)), IPPROTO_IP, IP_PKTINFO};
  reinterpret_cast<in_pktinfo*>(CMSG_DATA(header))->ipi_spec_dst.s_addr = htonl(source);
  ::sendmsg(fd, &message, 0);
}

// Says it again until the agent takes it as a client (new peers are admitted at a rate);
// what it heard: the opening sequence.
std::vector<std::string> greet(UdpPeer& tablet, UdpPeer& state) {
  std::vector<std::string> heard;
  for (auto deadline = std::chrono::steady_clock::now() + kPatience;
       heard.empty() && std::chrono::steady_clock::now() < deadline;) {
    tablet.sendTo("hello", kCommandPort);
    if (auto datagram = state.receive(250ms)) heard.push_back(*datagram);
  }
  while (heard.size() < 3) {
    auto datagram = state.receive(kPatience);
    if (!datagram) break;
    heard.push_back(*datagram);
  }
  return heard;
}

class Robustness : public ::testing::Test {
 protected:
  void SetUp() override { TROVIK_REQUIRE_ISOLATION(); }

  // The agent with an X server to type into.
  void launch(AgentOptions options = {}) {
    std::string error;
    server = testing::XvfbServer::start(error);
    TROVIK_REQUIRE_ENVIRONMENT(server != nullptr, "needs Xvfb: " + error);
    options.environment.emplace_back("DISPLAY", server->display());
    agent.emplace(options);
  }
  bool saidOnStandardError(const std::string& text) {
    return test::waitUntil([&] { return agent->errorText().find(text) != std::string::npos; });
  }
  // SIGTERM ends it within a second, with status 0, whatever state it is in.
  void expectQuickCleanExit(int signal = SIGTERM) {
    agent->signal(signal);
    EXPECT_EQ(agent->waitForExit(1s), 0) << agent->errorText();
  }

  std::unique_ptr<testing::XvfbServer> server;
  std::optional<AgentProcess> agent;
};

TEST_F(Robustness, AFloodFromSpoofedSourcesCostsBoundedResourcesAndNoTabletItsKeys) {
  // With the file limit many desktops give.
  launch({{"-c", "ulimit -n 1024 && exec " TROVIK_HELPER_PATH}, {}, true, "/bin/sh"});
  UdpPeer tablet("127.0.0.2", 50000), state("127.0.0.2", kStatePort);
  ASSERT_EQ(greet(tablet, state).size(), 3u);
  const double cpuBefore = usage(agent->pid()).cpuSeconds;

  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    UdpPeer sender("0.0.0.0", 40000);
    const std::uint32_t first = (127u << 24) | (1u << 16);  // 127.1.0.0 onwards
    for (std::uint32_t n = 0; n < 100000; ++n) {
      spoof(sender.fd(), first + n, n % 2 ? "hello" : "");
      if (n % 500 == 499) std::this_thread::sleep_for(10ms);  // about 50,000 a second
    }
    flooding = false;
  });
  int commands = 0, confirmed = 0;
  Usage most;
  for (auto quietAfter = 200; flooding || quietAfter-- > 0; ++commands) {
    tablet.sendTo("a", kCommandPort);
    confirmed += state.receive(1s) == "key:fired";
    const Usage now = usage(agent->pid());
    most.residentKB = std::max(most.residentKB, now.residentKB);
    most.descriptors = std::max(most.descriptors, now.descriptors);
    std::this_thread::sleep_for(10ms);
  }
  flood.join();
  EXPECT_EQ(confirmed, commands);
  EXPECT_LE(most.descriptors, long(kMaxClients) + 64);
  if (!kSanitized) {
    EXPECT_LT(most.residentKB, 32 * 1024);
    EXPECT_LT(usage(agent->pid()).cpuSeconds - cpuBefore, 20.0);
  }
  // A tablet that comes after the flood gets in at once.
  UdpPeer fresh("127.0.0.3", 50000), freshState("127.0.0.3", kStatePort);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(greet(fresh, freshState).size(), 3u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(saidOnStandardError("trovik-helper: network: dropped "));
  std::size_t listed = 0;  // every broadcast counts the state channels it saw
  for (const auto& line : agent->lines()) {
    if (line.starts_with("Trovik: Broadcasting 'key:fired' to ")) {
      listed = std::max<std::size_t>(listed, std::stoul(line.substr(36)));
    }
  }
  EXPECT_LE(listed, kMaxClients);
  expectQuickCleanExit();
}

// With none of the desktop's services either: each lack, the file's among them, is said once.
TEST_F(Robustness, WhateverStandsForTheSettingsFileTheAgentListensAtOnce) {
  const test::TempFolder home;
  const fs::path file = fs::path(home.path) / "trovik-helper" / "defaults";
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
    agent.emplace(AgentOptions{.environment = {{"XDG_CONFIG_HOME", home.path}}});
    EXPECT_TRUE(agent->waitForLine(kListening, 1s)) << agent->errorText();
    EXPECT_TRUE(
        saidOnStandardError("trovik-helper: settings: ignoring " + file.string() + ": " + why));
    expectQuickCleanExit(SIGINT);
    std::istringstream notes(agent->errorText());
    std::set<std::string> seen, services;
    for (std::string line; std::getline(notes, line);) {
      EXPECT_TRUE(line.starts_with("trovik-helper: ")) << line;
      EXPECT_TRUE(seen.insert(line).second) << "said twice: " << line;
      services.insert(line.substr(15, line.find(':', 15) - 15));
    }
    EXPECT_EQ(services,
              (std::set<std::string>{"dns-sd", "keyboard", "settings", "status item", "workspace"}))
        << agent->errorText();
  }
}

// Nothing reads the agent's standard output: the lines that do not fit are dropped and
// counted, and the tablet is served all the same.
TEST_F(Robustness, ATabletIsServedInFullWhileStandardOutputStalls) {
  launch({.readOutput = false});
  UdpPeer tablet("127.0.0.2", 50000), state("127.0.0.2", kStatePort);
  ASSERT_EQ(greet(tablet, state).size(), 3u);
  // 400 lines of 1 kB: more than the pipe and the agent's buffer hold. No key is named.
  std::string command;
  for (int i = 0; i < 500; ++i) command += "\u00e9";
  for (int n = 0; n < 400; ++n) {
    tablet.sendTo(command, kCommandPort);
    ASSERT_EQ(state.receive(kPatience), "key:fired") << n;
  }
  EXPECT_TRUE(saidOnStandardError(" lines dropped: standard output is not being read"));
  expectQuickCleanExit();
}

}  // namespace
}  // namespace trovik::e2e
