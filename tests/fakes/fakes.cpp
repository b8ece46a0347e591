#include "fakes/fakes.hpp"

namespace trovik::fakes {
namespace {

std::optional<NetworkError> failure(const std::optional<std::string>& error) {
  if (!error) return std::nullopt;
  return NetworkError{1, *error};
}

}  // namespace

int ManualQueue::runAll() {
  int ran = 0;
  for (;; ++ran) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return ran;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

struct FakeRunLoop::FakeTimer final : Timer {
  FakeTimer(std::chrono::milliseconds interval, std::chrono::milliseconds due,
            std::function<void()> tick)
      : interval(interval), due(due), tick(std::move(tick)) {}
  void invalidate() override { valid = false; }
  std::chrono::milliseconds interval, due;
  std::function<void()> tick;
  bool valid = true;
};

std::shared_ptr<Timer> FakeRunLoop::scheduleRepeating(std::chrono::milliseconds interval,
                                                      std::function<void()> tick) {
  auto timer = std::make_shared<FakeTimer>(interval, now_ + interval, std::move(tick));
  timers_.push_back(timer);
  return timer;
}

std::shared_ptr<Timer> FakeRunLoop::scheduleOnce(std::chrono::milliseconds delay,
                                                 std::function<void()> task) {
  auto timer =
      std::make_shared<FakeTimer>(std::chrono::milliseconds{0}, now_ + delay, std::move(task));
  timers_.push_back(timer);
  return timer;
}

void FakeRunLoop::advance(std::chrono::milliseconds by) {
  now_ += by;
  for (std::size_t i = 0; i < timers_.size(); ++i) {  // a tick may add timers
    const auto timer = timers_[i].lock();
    for (; timer && timer->valid && timer->due <= now_; timer->due += timer->interval) {
      timer->valid = timer->interval.count() > 0;  // a one-shot timer fires once
      timer->tick();
      runPending();
    }
  }
}

void FakeConnection::send(SharedBytes content, SendCompletion completion) {
  {
    std::lock_guard lock(mutex_);
    sent_.emplace_back(content->begin(), content->end());
    queue_->async([completion = std::move(completion), outcome = failure(sendError)] {
      completion(outcome);
    });
  }
  if (onSend) onSend();
}

void FakeConnection::reportState(ConnectionState::Kind kind, std::optional<std::string> error) {
  std::lock_guard lock(mutex_);
  if (!handler_ || !queue_) return;
  queue_->async(
      [handler = handler_, state = ConnectionState{kind, failure(error)}] { handler(state); });
}

bool FakeConnection::completeReceive(std::optional<std::string> content,
                                     std::optional<std::string> error) {
  std::lock_guard lock(mutex_);
  if (!receive_ || !queue_) return false;
  std::optional<Bytes> bytes;
  if (content) bytes.emplace(content->begin(), content->end());
  queue_->async([completion = std::move(*receive_), bytes, failure = failure(error)] {
    completion(bytes, failure);
  });
  receive_.reset();
  return true;
}

std::shared_ptr<FakeConnection> FakeListener::connect(const std::string& host, std::uint16_t port) {
  auto flow = std::make_shared<FakeConnection>(
      Endpoint::hostPort(Host{host, Bytes(host.begin(), host.end())}, port));
  flows.push_back(flow);
  if (queue_ && newConnection_) queue_->async([handler = newConnection_, flow] { handler(flow); });
  return flow;
}

void FakeListener::reportState(ListenerState::Kind kind, std::optional<std::string> error) {
  if (queue_ && stateHandler_) {
    queue_->async(
        [handler = stateHandler_, state = ListenerState{kind, failure(error)}] { handler(state); });
  }
}

FakeNetwork::~FakeNetwork() {
  // Pending completions own their connections: break those cycles.
  if (listener) {
    listener->setNewConnectionHandler(nullptr);
    for (const auto& flow : listener->flows) flow->release();
  }
  for (const auto& channel : channels) channel->release();
}

Network::ListenerResult FakeNetwork::makeListener(std::uint16_t, ConnectionParameters) {
  if (listenerError) return {nullptr, NetworkError{1, *listenerError}};
  listener = std::make_shared<FakeListener>();
  return {listener, {}};
}

std::shared_ptr<Connection> FakeNetwork::makeConnection(Endpoint to, ConnectionParameters) {
  auto channel = std::make_shared<FakeConnection>(std::move(to));
  std::lock_guard lock(mutex_);
  channels.push_back(channel);
  return channel;
}

}  // namespace trovik::fakes
