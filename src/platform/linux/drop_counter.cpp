#include "platform/linux/drop_counter.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/diagnostics.hpp"

namespace trovik {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kFirstReportDelay = 1s;
constexpr auto kReportInterval = 60s;

}  // namespace

struct DropCounter::State {
  std::string service;
  Text text;
  std::uint64_t count = 0;  // not yet reported
  std::optional<Clock::time_point> due;
  std::optional<Clock::time_point> lastReport;
};

namespace {

// The one thread that reports drops; started by the first drop of the process.
class DropReporter {
 public:
  static DropReporter& instance() {
    static auto* reporter = new DropReporter;  // never destroyed: its thread may outlive main
    return *reporter;
  }

  void add(const std::shared_ptr<DropCounter::State>& counter, std::uint64_t n) {
    std::lock_guard lock(mutex_);
    counter->count += n;
    if (counter->due) return;
    const auto soonest = Clock::now() + kFirstReportDelay;
    counter->due =
        counter->lastReport ? std::max(soonest, *counter->lastReport + kReportInterval) : soonest;
    pending_.push_back(counter);
    if (!started_) {
      started_ = true;
      std::thread([this] { run(); }).detach();
    }
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (pending_.empty()) {
        wake_.wait(lock);
        continue;
      }
      auto next = pending_.begin();
      for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (*(*it)->due < *(*next)->due) next = it;
      }
      if (wake_.wait_until(lock, *(*next)->due) != std::cv_status::timeout) continue;
      auto counter = *next;
      pending_.erase(next);
      const std::uint64_t count = std::exchange(counter->count, 0);
      counter->due.reset();
      counter->lastReport = Clock::now();
      lock.unlock();
      diagnose(counter->service, counter->text(count));
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::shared_ptr<DropCounter::State>> pending_;
  bool started_ = false;
};

}  // namespace

DropCounter::DropCounter(std::string service, Text text) : state_(std::make_shared<State>()) {
  state_->service = std::move(service);
  state_->text = std::move(text);
}

void DropCounter::add(std::uint64_t n) {
  DropReporter::instance().add(state_, n);
}

}  // namespace trovik
