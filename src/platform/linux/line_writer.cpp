#include "platform/linux/line_writer.hpp"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/linux/burst.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;

// How long a writer being destroyed waits for its reader.
constexpr auto kGoodbyeGrace = 200ms;

}  // namespace

struct LineWriter::State {
  State(int fd, std::size_t capacity, std::shared_ptr<DropCounter> drops)
      : fd(fd), capacity(capacity), drops(std::move(drops)) {}

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

}  // namespace trovik
