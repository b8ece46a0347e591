#include "platform/linux/stdout_log.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/burst.hpp"

namespace trovik {
namespace {

using Clock = LineWriter::Clock;
using namespace std::chrono_literals;

constexpr auto kFirstReportDelay = 1s;
constexpr auto kReportInterval = 60s;
// How long a writer being destroyed waits for its reader.
constexpr auto kGoodbyeGrace = 200ms;

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

struct LineWriter::State {
  const int fd;
  const std::size_t capacity;
  const std::shared_ptr<DropCounter> drops;
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable written;
  std::string queued;
  std::uint64_t queuedUpTo = 0;   // lines ever queued
  std::uint64_t writtenUpTo = 0;  // lines ever written
  bool stopping = false;

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return stopping || !queued.empty(); });
      if (queued.empty()) return;
      std::string chunk;
      chunk.swap(queued);
      const std::uint64_t upTo = queuedUpTo;
      lock.unlock();
      writeAll(fd, chunk);  // a descriptor that refuses the lines loses them
      lock.lock();
      writtenUpTo = upTo;
      written.notify_all();
    }
  }
};

LineWriter::LineWriter(int fd, std::size_t capacity, std::shared_ptr<DropCounter> drops)
    : state_(std::make_shared<State>(fd, capacity, std::move(drops))) {
  // The thread holds the state: if it is stuck writing when this object goes, it finishes
  // (or the process ends) without anything freed under it.
  std::thread([state = state_] { state->run(); }).detach();
}

LineWriter::~LineWriter() {
  flush(Clock::now() + kGoodbyeGrace);
  std::lock_guard lock(state_->mutex);
  state_->stopping = true;
  state_->wake.notify_one();
}

bool LineWriter::put(std::string_view text) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->queued.size() + text.size() + 1 <= state_->capacity) {
      state_->queued.append(text).push_back('\n');
      ++state_->queuedUpTo;
      if (!Burst::defer(state_.get(), [state = state_] { state->wake.notify_one(); }))
        state_->wake.notify_one();
      return true;
    }
  }
  if (state_->drops) state_->drops->add();
  return false;
}

bool LineWriter::flush(Clock::time_point deadline) {
  std::unique_lock lock(state_->mutex);
  const std::uint64_t target = state_->queuedUpTo;
  state_->wake.notify_one();  // the lines may have been queued with their wake deferred
  return state_->written.wait_until(lock, deadline, [&] { return state_->writtenUpTo >= target; });
}

StdoutLog::StdoutLog(int fd)
    : writer_(fd, 256 * 1024, std::make_shared<DropCounter>("log", [](std::uint64_t n) {
                return std::to_string(n) + " lines dropped: standard output is not being read";
              })) {}

void StdoutLog::line(std::string_view text) {
  writer_.put(text);
}

bool writeAll(int fd, std::string_view bytes) {
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd, rest.data(), rest.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

namespace {

LineWriter& diagnostics() {
  static auto* writer = new LineWriter(STDERR_FILENO, 64 * 1024);  // lives as long as the process
  return *writer;
}

}  // namespace

void diagnose(std::string_view service, std::string_view message, int fd) {
  std::string text = "trovik-helper: ";
  text.append(service).append(": ").append(message);
  if (fd == STDERR_FILENO) {
    diagnostics().put(text);
  } else {
    text.push_back('\n');
    writeAll(fd, text);
  }
}

bool flushDiagnostics(Clock::time_point deadline) {
  return diagnostics().flush(deadline);
}

}  // namespace trovik
