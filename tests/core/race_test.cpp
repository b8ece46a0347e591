// Real threads deliver every network callback while the main thread switches editors: run
// under ThreadSanitizer, this catches any unguarded touch of the client lists, the channel
// indexes or the editor ID, and any text handling that is not safe on many threads.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "app/app_delegate.hpp"
#include "fakes/fakes.hpp"

namespace trovik {
namespace {

class ThreadedQueue final : public WorkQueue {
 public:
  explicit ThreadedQueue(int threads) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
  }
  ~ThreadedQueue() override {
    drain();
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
  }
  void async(std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
  }
  void drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return tasks_.empty() && running_ == 0; });
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      ++running_;
      lock.unlock();
      task();
      lock.lock();
      --running_;
      idle_.notify_all();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<void()>> tasks_;
  int running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

TEST(Races, ClientsTypeAndHearBroadcastsWhileOthersAreRemoved) {
  ThreadedQueue threads(4);
  fakes::FakePlatform fake(&threads);
  auto delegate = AppDelegate::create(fake.platform());
  delegate->startListener();
  constexpr int kStaying = 4, kLeaving = 4, kCommands = 50;
  std::vector<std::shared_ptr<fakes::FakeConnection>> flows;
  for (int i = 0; i < kStaying + kLeaving; ++i) {
    // Two flows from each host: one stays, one goes.
    flows.push_back(
        fake.network.listener->connect("10.1.0." + std::to_string(i % kStaying), 4000 + i));
    threads.drain();
    fake.network.channels.back()->reportState(ConnectionState::Kind::ready);
  }
  threads.drain();
  const auto deliver = [](fakes::FakeConnection& flow, std::optional<std::string> content,
                          std::optional<std::string> error = {}) {
    while (!flow.completeReceive(content, error)) std::this_thread::yield();
  };
  std::vector<std::thread> senders;
  for (int i = 0; i < kStaying + kLeaving; ++i) {
    senders.emplace_back([&, i] {
      const bool leaves = i >= kStaying;
      for (int n = 0; n < (leaves ? kCommands / 2 : kCommands); ++n)
        deliver(*flows[i], "b\xCC\x81");
      if (leaves) deliver(*flows[i], std::nullopt, "reset");
    });
  }
  std::atomic<bool> finished{false};
  std::thread watcher([&] {
    for (auto& t : senders) t.join();
    finished = true;
  });
  for (int n = 0; !finished || n < 100; ++n) {
    delegate->updateActiveEditor(n % 2 ? editor::EditorID("com.adobe.premierepro") : std::nullopt);
  }
  watcher.join();
  threads.drain();

  // Each leaving client took its own channel only; nothing was lost.
  EXPECT_EQ(delegate->stateConnections().size(), std::size_t(kStaying));
  EXPECT_EQ(delegate->clientConnections().size(), std::size_t(kStaying));
  std::size_t received = 0;
  for (const auto& line : fake.log.lines()) received += line.starts_with("Trovik: Received");
  EXPECT_EQ(received, std::size_t(kStaying * kCommands + kLeaving * kCommands / 2));
  delegate.reset();
  threads.drain();
}

}  // namespace
}  // namespace trovik
