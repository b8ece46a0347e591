// Key posting through XTest to a focused X client on a private Xvfb: the part of a command's
// way from its arrival to its key events leaving the process that this process controls.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "keys/key_posting.hpp"
#include "keys/key_spec.hpp"
#include "latency.hpp"
#include "platform/linux/icu_text.hpp"
#include "platform/linux/keyboard/linux_keyboard.hpp"
#include "platform/linux/keyboard/xtest_keyboard.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::bench {
namespace {

using namespace std::chrono_literals;

class NullLog final : public Log {
 public:
  void line(std::string_view) override {}
};

// One X server with a focused recording window and the agent's XTest keyboard, started on
// first use and shared by every keyboard benchmark.
class XTestSetup {
 public:
  // Null, with the benchmark skipped, when there is no X server to run on.
  static XTestSetup* getOrSkip(benchmark::State& state) {
    static std::string failure;
    static std::unique_ptr<XTestSetup> setup = [] {
      auto s = std::unique_ptr<XTestSetup>(new XTestSetup);
      return s->start(failure) ? std::move(s) : nullptr;
    }();
    if (!setup) state.SkipWithError(("needs Xvfb: " + failure).c_str());
    return setup.get();
  }

  // What the agent does with a command text once it has arrived.
  void command(std::string_view text) {
    const auto press = keys::keyPressForSpec(text, unicode_);
    if (!press) return;
    const bool trusted = keyboard_->isProcessTrusted();
    if (press->shift) {
      keys::postKeyWithShift(press->code, *keyboard_, trusted);
    } else {
      keys::postKey(press->code, *keyboard_, trusted, log_);
    }
  }

  testing::XKeyRecorder& recorder() { return *recorder_; }

 private:
  XTestSetup() = default;
  bool start(std::string& error) {
    server_ = testing::XvfbServer::start(error);
    if (!server_) return false;
    recorder_ = testing::XKeyRecorder::open(server_->display(), error);
    if (!recorder_) return false;
    std::vector<std::unique_ptr<KeySink>> sinks;
    sinks.push_back(std::make_unique<XTestKeyboard>(server_->display()));
    keyboard_ =
        std::make_unique<LinuxKeyboard>(std::move(sinks), std::make_unique<NotificationPrompt>());
    if (!keyboard_->isProcessTrusted()) error = "no XTest on the private X server";
    return error.empty();
  }

  std::unique_ptr<testing::XvfbServer> server_;
  std::unique_ptr<testing::XKeyRecorder> recorder_;
  std::unique_ptr<LinuxKeyboard> keyboard_;
  IcuText unicode_;
  NullLog log_;
};

// From a command text to its key events flushed to the X server, one command after another
// as fast as they come: includes the X server's back-pressure.
void BM_XTestCommandLatency(benchmark::State& state, const char* text, int eventsPerCommand) {
  XTestSetup* setup = XTestSetup::getOrSkip(state);
  if (!setup) return;
  LatencyRecorder latency;
  for (auto _ : state) {
    latency.start();
    setup->command(text);
    latency.stop();
  }
  latency.report(state);
  // The next run starts with a quiet window.
  setup->recorder().take(std::size_t(state.iterations()) * eventsPerCommand, 60s);
}
BENCHMARK_CAPTURE(BM_XTestCommandLatency, plain, "SPACE", 2)->UseRealTime();
BENCHMARK_CAPTURE(BM_XTestCommandLatency, shifted, "shift+a", 4)->UseRealTime();

// The same for a command that finds the X server idle: each command's keys reach the focused
// window before the next command comes; only the posting is timed.
void BM_XTestIsolatedCommandLatency(benchmark::State& state, const char* text,
                                    int eventsPerCommand) {
  XTestSetup* setup = XTestSetup::getOrSkip(state);
  if (!setup) return;
  LatencyRecorder latency;
  for (auto _ : state) {
    latency.start();
    setup->command(text);
    state.SetIterationTime(latency.stop());
    if (setup->recorder().take(eventsPerCommand, 10s).size() != std::size_t(eventsPerCommand)) {
      state.SkipWithError("key events were lost");
      break;
    }
  }
  latency.report(state);
}
BENCHMARK_CAPTURE(BM_XTestIsolatedCommandLatency, plain, "SPACE", 2)->UseManualTime();
BENCHMARK_CAPTURE(BM_XTestIsolatedCommandLatency, shifted, "shift+a", 4)->UseManualTime();

// Commands one client drives back to back, counted once the focused window has received
// every key event.
void BM_XTestSustainedCommands(benchmark::State& state) {
  XTestSetup* setup = XTestSetup::getOrSkip(state);
  if (!setup) return;
  const auto burst = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    for (std::size_t i = 0; i < burst; ++i) setup->command("SPACE");
    if (setup->recorder().take(2 * burst, 30s).size() != 2 * burst) {
      state.SkipWithError("key events were lost");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(burst));
}
BENCHMARK(BM_XTestSustainedCommands)->Arg(200)->UseRealTime();

}  // namespace
}  // namespace trovik::bench
