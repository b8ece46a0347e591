// A command's whole way through the agent, wired as trovik-helper wires it: the UDP listener
// (AsioNetwork and its I/O thread), the receive loop of AppDelegate on the work queue, key
// posting through XTest to a focused window on a private Xvfb, and the key:fired broadcast
// to the tablet. The agent runs in this process so that the moment its key events leave
// can be taken where it happens: when the XTest flush of the key-up returns.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "app/app_delegate.hpp"
#include "isolation.hpp"
#include "latency.hpp"
#include "platform/linux/asio_run_loop.hpp"
#include "platform/linux/desktop/executable_bundle.hpp"
#include "platform/linux/desktop/run_loop_application.hpp"
#include "platform/linux/desktop/unavailable.hpp"
#include "platform/linux/icu_text.hpp"
#include "platform/linux/keyboard/linux_keyboard.hpp"
#include "platform/linux/net/asio_network.hpp"
#include "platform/linux/net/asio_work_queue.hpp"
#include "platform/linux/net/service_advertiser.hpp"
#include "platform/linux/stdout_log.hpp"
#include "support/mailbox.hpp"
#include "support/udp_peer.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kCommandPort = 9876;
constexpr std::uint16_t kStatePort = 9877;
constexpr auto kPatience = 10s;

// The agent's keyboard, noting when each key-up post has returned: through XTest that is
// when the press's last events were flushed to the X server, and so left the process.
class TimedKeyboard final : public Keyboard {
 public:
  explicit TimedKeyboard(std::unique_ptr<Keyboard> inner) : inner_(std::move(inner)) {}

  void press(KeyCode key, bool shift) override {
    inner_->press(key, shift);
    left_.put(Clock::now());
  }

  test::Mailbox<Clock::time_point>& left() { return left_; }

 private:
  std::unique_ptr<Keyboard> inner_;
  test::Mailbox<Clock::time_point> left_;
};

// Datagrams this network namespace dropped at a full socket buffer: tells a loss in the
// kernel from one in the agent.
std::string udpReceiveBufferDrops() {
  std::ifstream snmp("/proc/self/net/snmp");
  std::string names, values;
  while (std::getline(snmp, names) && std::getline(snmp, values)) {
    if (!names.starts_with("Udp:")) continue;
    std::istringstream n(names), v(values);
    for (std::string name, value; n >> name && v >> value;) {
      if (name == "RcvbufErrors") return value + " dropped at full UDP receive buffers";
    }
  }
  return "UDP drops unknown";
}

// The measured path has no DNS-SD responder and no computer name to ask for.
class NoAdvertiser final : public ServiceAdvertiser {
 public:
  void advertise(const ServiceDescription&, std::uint16_t) override {}
  void withdraw() override {}
};

class NoHostName final : public HostInfo {
 public:
  std::optional<std::string> localizedName() override { return std::nullopt; }
};

class MemoryDefaults final : public UserDefaults {
 public:
  bool boolForKey(const std::string& key) override { return values_[key]; }
  void setBool(bool value, const std::string& key) override { values_[key] = value; }

 private:
  std::map<std::string, bool> values_;
};

// The services of trovik-helper's main(), but typing through XTest only (uinput stays out
// even where /dev/uinput exists) and logging to /dev/null, which still costs its write(2).
struct AgentServices {
  AgentServices(const std::string& display, int logFd) : log(logFd) {
    network = std::make_unique<AsioNetwork>(advertiser);
    auto typing = std::make_unique<LinuxKeyboard>(
        LinuxKeyboardOptions{.uinputPath = "/nonexistent/trovik-bench/uinput",
                             .display = display,
                             .sessionBus = "unix:path=/nonexistent/trovik-bench/bus"});
    trust = typing.get();
    keyboard = std::make_unique<TimedKeyboard>(std::move(typing));
  }

  Platform platform() {
    return Platform{runLoop,   workQueue, *network, *keyboard,  *trust,       log,    text,
                    workspace, statusBar, hostInfo, loginItems, userDefaults, bundle, application};
  }

  AsioRunLoop runLoop;
  AsioWorkQueue workQueue{2};
  NoAdvertiser advertiser;
  std::unique_ptr<AsioNetwork> network;
  std::unique_ptr<TimedKeyboard> keyboard;
  Trust* trust;  // the keyboard's
  StdoutLog log;
  IcuText text;
  UnavailableWorkspace workspace;
  UnavailableStatusBar statusBar;
  NoHostName hostInfo;
  UnavailableLoginItems loginItems;
  MemoryDefaults userDefaults;
  ExecutableBundle bundle;
  RunLoopApplication application{runLoop};
};

// A private X server with a focused recording window, the agent on a main thread of its
// own, and a tablet that has said hello and holds a ready state channel. Made on first use
// and shared by every benchmark here.
class AgentRig {
 public:
  // Null, with the benchmark skipped, when the agent cannot run here.
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
    if (!services_) return;
    services_->runLoop.stop();
    if (main_.joinable()) main_.join();
    services_.reset();
    ::close(logFd_);
  }

  void send(std::string_view command) { tablet_.sendTo(command, kCommandPort); }
  testing::XKeyRecorder& window() { return *window_; }
  test::Mailbox<Clock::time_point>& keysLeft() { return services_->keyboard->left(); }
  test::UdpPeer& stateChannel() { return *state_; }

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
    logFd_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    services_ = std::make_unique<AgentServices>(server_->display(), logFd_);
    main_ = std::thread([this] { runAgent(); });

    // Said again until heard: the listener binds its port only once the agent has launched,
    // and the agent ignores a greeting from a tablet it already knows.
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

  // What trovik-helper's main thread does, in the same order.
  void runAgent() {
    auto delegate = AppDelegate::create(services_->platform());
    services_->runLoop.post([&delegate] { delegate->applicationDidFinishLaunching(); });
    services_->runLoop.run();
    services_->network->shutdown();
    services_->workQueue.join();
    delegate.reset();
  }

  std::unique_ptr<testing::XvfbServer> server_;
  std::unique_ptr<testing::XKeyRecorder> window_;
  std::optional<test::UdpPeer> state_;
  test::UdpPeer tablet_;
  int logFd_ = -1;
  std::unique_ptr<AgentServices> services_;
  std::thread main_;
};

// One command at a time, each finding the agent and the X server idle. Timed from sendto on
// loopback (the datagram is in the listener's queue when it returns) until the XTest flush
// of the key-up returns; also until the focused window has read the last key event.
void BM_CommandToKeysLeaving(benchmark::State& state, const char* command,
                             std::size_t eventsPerCommand) {
  AgentRig* rig = AgentRig::getOrSkip(state);
  if (!rig) return;
  LatencyRecorder leaving, inWindow;
  for (auto _ : state) {
    const auto sent = Clock::now();
    rig->send(command);
    const bool seen = rig->window().take(eventsPerCommand, kPatience).size() == eventsPerCommand;
    const auto received = Clock::now();
    const auto left = rig->keysLeft().take(kPatience);
    // The confirmation comes last; once it is in, the agent is idle again.
    const bool fired = rig->stateChannel().receive(kPatience) == "key:fired";
    if (!seen || !left || !fired) {
      state.SkipWithError("a command's key events or its key:fired were lost");
      break;
    }
    state.SetIterationTime(leaving.add(*left - sent));
    inWindow.add(received - sent);
  }
  leaving.report(state);
  inWindow.report(state, "window_");
}
BENCHMARK_CAPTURE(BM_CommandToKeysLeaving, plain, "SPACE", 2)->UseManualTime()->MinTime(2);
BENCHMARK_CAPTURE(BM_CommandToKeysLeaving, shifted, "shift+a", 4)->UseManualTime()->MinTime(2);

// Commands one tablet drives back to back, with at most `window` of them not yet typed.
// The agent's socket holds some 256 small datagrams, less what the kernel has yet to
// reclaim from those already read (up to a quarter): a tablet further ahead loses commands.
// Counted once every key event has reached the focused window and every key:fired is back.
void BM_SustainedCommands(benchmark::State& state) {
  AgentRig* rig = AgentRig::getOrSkip(state);
  if (!rig) return;
  const auto window = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kCommands = 1000;
  for (auto _ : state) {
    std::size_t sent = 0, typed = 0, fired = 0;
    bool lost = false;
    while (!lost && typed < kCommands) {
      for (; sent < kCommands && sent - typed < window; ++sent) rig->send("SPACE");
      const auto events = rig->window().take(1, kPatience);
      lost = events.empty();
      for (const auto& event : events) typed += event.press ? 0 : 1;
      while (rig->stateChannel().receive(0ms)) ++fired;
    }
    while (!lost && fired < kCommands) {
      lost = !rig->stateChannel().receive(kPatience);
      if (!lost) ++fired;
    }
    if (lost) {
      const std::string why = "lost: " + std::to_string(kCommands - typed) + " of " +
                              std::to_string(kCommands) + " commands' keys, " +
                              std::to_string(kCommands - fired) + " key:fired; " +
                              udpReceiveBufferDrops();
      state.SkipWithError(why.c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(kCommands));
}
BENCHMARK(BM_SustainedCommands)
    ->Arg(1)
    ->Arg(16)
    ->Arg(64)
    ->Arg(128)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trovik::bench
