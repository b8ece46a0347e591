#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace trovik::bench {

// Times each iteration on its own and reports the minimum, median and 99th percentile as
// counters (microseconds), which Google Benchmark's means alone hide.
class LatencyRecorder {
 public:
  using Clock = std::chrono::steady_clock;

  void start() { begin_ = Clock::now(); }
  // The sample just taken, in seconds, for benchmarks that time iterations themselves.
  double stop() { return add(Clock::now() - begin_); }
  // A sample timed elsewhere; returned in seconds as stop() does.
  double add(Clock::duration sample) {
    samples_.push_back(sample);
    return std::chrono::duration<double>(sample).count();
  }

  struct Figures {
    double min = 0;  // microseconds
    double p50 = 0;
    double p99 = 0;
  };
  // `prefix` tells apart the counters of several recorders in one benchmark.
  Figures report(benchmark::State& state, const std::string& prefix = "") {
    if (samples_.empty()) return {};
    std::sort(samples_.begin(), samples_.end());
    const Figures figures{micros(samples_.front()), micros(percentile(0.50)),
                          micros(percentile(0.99))};
    state.counters[prefix + "min_us"] = figures.min;
    state.counters[prefix + "p50_us"] = figures.p50;
    state.counters[prefix + "p99_us"] = figures.p99;
    return figures;
  }

 private:
  Clock::duration percentile(double p) const {
    const auto index = static_cast<std::size_t>(p * double(samples_.size() - 1) + 0.5);
    return samples_[index];
  }
  static double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
  }

  Clock::time_point begin_;
  std::vector<Clock::duration> samples_;
};

}  // namespace trovik::bench
