// The built trovik-helper, typing through XTest into a focused window on a private Xvfb, as
// a tablet on this machine's loopback sees it; beside it, in the same run and namespace, a
// bare UDP echo in a process of its own: the floor that no agent can go below.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "isolation.hpp"
#include "latency.hpp"
#include "support/udp_peer.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kCommandPort = 9876;
constexpr std::uint16_t kStatePort = 9877;
constexpr std::uint16_t kEchoPort = 7;
constexpr auto kPatience = 5s;

// A child that answers every datagram on 127.0.0.1:kEchoPort with the same bytes.
pid_t startEcho() {
  test::UdpPeer socket("127.0.0.1", kEchoPort);
  const pid_t pid = ::fork();
  if (pid == 0) {
    char buffer[2048];
    for (;;) {
      sockaddr_storage from{};
      socklen_t length = sizeof from;
      const ssize_t n = ::recvfrom(socket.fd(), buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&from), &length);
      if (n >= 0) ::sendto(socket.fd(), buffer, n, 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  }
  return pid;
}

// The agent on a private X server, a tablet that has said hello and holds its ready state
// channel, and the echo. Made on first use and shared by every benchmark here.
class AgentRig {
 public:
  static AgentRig* getOrSkip(benchmark::State& state) {
    static std::string failure;
    static std::unique_ptr<AgentRig> rig = [] {
      auto r = std::unique_ptr<AgentRig>(new AgentRig);
      return r->start(failure) ? std::move(r) : nullptr;
    }();
    if (!rig) state.SkipWithError(failure.c_str());
    return rig.get();
  }

  ~AgentRig() {
    for (pid_t pid : {agent_, echo_}) {
      if (pid <= 0) continue;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    std::filesystem::remove_all(config_);
  }

  // Round trip of one command to its key:fired.
  std::optional<Clock::duration> command(std::string_view text) {
    const auto sent = Clock::now();
    tablet_.sendTo(text, kCommandPort);
    if (state_->receive(kPatience) != "key:fired") return std::nullopt;
    return Clock::now() - sent;
  }
  std::optional<Clock::duration> echo() {
    const auto sent = Clock::now();
    echoClient_.sendTo("SPACE", kEchoPort);
    if (!echoClient_.receive(kPatience)) return std::nullopt;
    return Clock::now() - sent;
  }
  void send(std::string_view text) { tablet_.sendTo(text, kCommandPort); }
  test::UdpPeer& stateChannel() { return *state_; }
  testing::XKeyRecorder& window() { return *window_; }

 private:
  AgentRig() = default;

  bool start(std::string& error) {
    if (!isolationProblem().empty()) {
      error = "binds the agent's ports, so needs " + isolationProblem();
      return false;
    }
    server_ = testing::XvfbServer::start(error);
    if (!server_) {
      error = "needs Xvfb: " + error;
      return false;
    }
    window_ = testing::XKeyRecorder::open(server_->display(), error);
    if (!window_) return false;
    state_.emplace("127.0.0.1", kStatePort);
    echo_ = startEcho();
    config_ =
        std::filesystem::temp_directory_path() / ("trovik-bench-" + std::to_string(::getpid()));
    agent_ = spawnAgent();

    // Said again until heard: the agent binds its port only once it has launched.
    std::optional<std::string> first;
    for (auto deadline = Clock::now() + kPatience; !first && Clock::now() < deadline;) {
      send("hello");
      first = state_->receive(100ms);
    }
    std::string last = first.value_or("(nothing)");
    for (int i = 1; i < 3 && first; ++i) last = state_->receive(kPatience).value_or("(nothing)");
    if (last != "ax:granted") error = "the agent cannot type on the private X server: " + last;
    return error.empty();
  }

  pid_t spawnAgent() {
    const std::string display = server_->display();
    // TROVIK_BENCH_AGENT measures another build, e.g. an older one, under the same rig.
    const char* program = std::getenv("TROVIK_BENCH_AGENT");
    if (!program || !*program) program = TROVIK_HELPER_PATH;
    const pid_t pid = ::fork();
    if (pid == 0) {
      // Its log costs what a terminal's would, less the terminal.
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      ::setenv("DISPLAY", display.c_str(), 1);
      ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/trovik-bench", 1);
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
      ::unsetenv("WAYLAND_DISPLAY");
      ::execl(program, program, nullptr);
      ::_exit(127);
    }
    return pid;
  }

  std::unique_ptr<testing::XvfbServer> server_;
  std::unique_ptr<testing::XKeyRecorder> window_;
  std::optional<test::UdpPeer> state_;
  test::UdpPeer tablet_;
  test::UdpPeer echoClient_;
  std::filesystem::path config_;
  pid_t agent_ = -1;
  pid_t echo_ = -1;
};

// Keeps every processor busy, as a build does, while it lives: one spinning child each, at
// the priority the agent has.
class BusyMachine {
 public:
  explicit BusyMachine(bool busy) {
    for (unsigned i = 0; busy && i < std::thread::hardware_concurrency(); ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        std::atomic<unsigned long> n = 0;
        for (;;) n.fetch_add(1, std::memory_order_relaxed);
      }
      spinners_.push_back(pid);
    }
  }
  ~BusyMachine() {
    for (const pid_t pid : spinners_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  BusyMachine(const BusyMachine&) = delete;
  BusyMachine& operator=(const BusyMachine&) = delete;

 private:
  std::vector<pid_t> spinners_;
};

// One command at a time, from its datagram leaving the tablet until its key:fired is back,
// each followed by one bare echo round trip: the two share whatever the machine is doing,
// idle, or busy on every processor.
void BM_CommandRoundTrip(benchmark::State& state, const char* command, std::size_t keyEvents,
                         bool busy) {
  AgentRig* rig = AgentRig::getOrSkip(state);
  if (!rig) return;
  const BusyMachine machine(busy);
  LatencyRecorder agent, echo;
  for (auto _ : state) {
    const auto roundTrip = rig->command(command);
    const auto floor = rig->echo();
    // Taken outside the timed part, so the recording window never falls behind.
    if (!roundTrip || !floor || rig->window().take(keyEvents, kPatience).size() != keyEvents) {
      state.SkipWithError("a command's key events, its key:fired or an echo was lost");
      break;
    }
    state.SetIterationTime(agent.add(*roundTrip));
    echo.add(*floor);
  }
  const auto a = agent.report(state);
  const auto e = echo.report(state, "echo_");
  if (e.min > 0 && e.p50 > 0 && e.p99 > 0) {
    state.counters["x_echo_min"] = a.min / e.min;
    state.counters["x_echo_p50"] = a.p50 / e.p50;
    state.counters["x_echo_p99"] = a.p99 / e.p99;
  }
}
#define TROVIK_ROUND_TRIP(name, command, events, busy)                \
  BENCHMARK_CAPTURE(BM_CommandRoundTrip, name, command, events, busy) \
      ->UseManualTime()                                               \
      ->Iterations(3000)                                              \
      ->Unit(benchmark::kMicrosecond)
TROVIK_ROUND_TRIP(key_SPACE, "SPACE", 2, false);
TROVIK_ROUND_TRIP(key_shift_a, "shift+a", 4, false);
TROVIK_ROUND_TRIP(no_key, "+PLAY", 0, false);
TROVIK_ROUND_TRIP(busy_key_SPACE, "SPACE", 2, true);
TROVIK_ROUND_TRIP(busy_no_key, "+PLAY", 0, true);

// One tablet sending `rate` SPACE commands a second (0: as fast as it can) for a second;
// every key:fired that comes back is counted. A key:fired for each command means none was
// lost anywhere: not in the kernel, not in the agent, not on the way to the X server.
void BM_SustainedCommands(benchmark::State& state) {
  AgentRig* rig = AgentRig::getOrSkip(state);
  if (!rig) return;
  const auto rate = static_cast<std::size_t>(state.range(0));
  const std::size_t total = rate ? rate : 100000;
  std::size_t lostTotal = 0;
  for (auto _ : state) {
    std::atomic<std::size_t> fired{0};
    std::atomic<bool> sending{true};
    Clock::time_point lastFired{};
    std::thread counter([&] {
      auto quietSince = Clock::now();
      while (sending || Clock::now() - quietSince < 1s) {
        if (rig->stateChannel().receive(50ms)) {
          ++fired;
          lastFired = quietSince = Clock::now();
        }
      }
    });
    std::thread keys([&] {
      // Drains the window, so the X server never waits for its client.
      std::size_t events = 0;
      while (events < 2 * total && !rig->window().take(1, 2s).empty()) ++events;
    });
    const auto begin = Clock::now();
    for (std::size_t sent = 0; sent < total; ++sent) {
      if (rate && sent % 20 == 0)
        std::this_thread::sleep_until(begin + std::chrono::nanoseconds(1s) * sent / rate);
      rig->send("SPACE");
    }
    const auto elapsed = Clock::now() - begin;
    sending = false;
    counter.join();
    keys.join();
    lostTotal += total - fired;
    state.counters["sent_per_s"] = double(total) / std::chrono::duration<double>(elapsed).count();
    state.counters["fired_per_s"] =
        double(fired) / std::chrono::duration<double>(lastFired - begin).count();
  }
  state.counters["lost"] = double(lostTotal);
}
BENCHMARK(BM_SustainedCommands)
    ->Arg(20000)
    ->Arg(40000)
    ->Arg(0)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trovik::bench
