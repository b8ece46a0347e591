#include "fakes/fakes.hpp"

#include <algorithm>

namespace trovik::fakes {

void ManualQueue::async(std::function<void()> task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
}

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

void FakeRunLoop::advance(std::chrono::milliseconds by) {
  const auto end = now_ + by;
  for (;;) {
    std::shared_ptr<FakeTimer> next;
    for (const auto& weak : timers_) {
      auto timer = weak.lock();
      if (timer && timer->valid && timer->due <= end && (!next || timer->due < next->due)) {
        next = timer;
      }
    }
    if (!next) break;
    now_ = next->due;
    next->due += next->interval;
    next->tick();
    runPending();
  }
  now_ = end;
}

ConnectionState FakeConnection::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void FakeConnection::setStateHandler(StateHandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void FakeConnection::start(WorkQueue& queue) {
  std::lock_guard lock(mutex_);
  queue_ = &queue;
}

void FakeConnection::receiveMessage(ReceiveCompletion completion) {
  std::lock_guard lock(mutex_);
  receive_ = std::move(completion);
}

void FakeConnection::send(SharedBytes content, SendCompletion completion) {
  std::lock_guard lock(mutex_);
  sent_.emplace_back(content->begin(), content->end());
  std::optional<NetworkError> outcome;
  if (sendError) outcome = NetworkError{1, *sendError};
  queue_->async([completion = std::move(completion), outcome] { completion(outcome); });
}

void FakeConnection::cancel() {
  reportState(ConnectionState::Kind::cancelled);
}

void FakeConnection::reportState(ConnectionState state) {
  std::lock_guard lock(mutex_);
  state_ = state;
  if (handler_ && queue_) queue_->async([handler = handler_, state] { handler(state); });
}

void FakeConnection::reportState(ConnectionState::Kind kind, std::optional<std::string> error) {
  std::optional<NetworkError> failure;
  if (error) failure = NetworkError{1, *error};
  reportState(ConnectionState{kind, failure});
}

bool FakeConnection::completeReceive(std::optional<std::string> content,
                                     std::optional<std::string> error) {
  std::lock_guard lock(mutex_);
  if (!receive_ || !queue_) return false;
  std::optional<Bytes> bytes;
  if (content) bytes.emplace(content->begin(), content->end());
  std::optional<NetworkError> failure;
  if (error) failure = NetworkError{1, *error};
  queue_->async(
      [completion = std::move(*receive_), bytes, failure] { completion(bytes, failure); });
  receive_.reset();
  return true;
}

std::vector<std::string> FakeConnection::datagrams() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

void FakeConnection::release() {
  std::lock_guard lock(mutex_);
  receive_.reset();
  handler_ = nullptr;
}

void FakeListener::setNewConnectionHandler(NewConnectionHandler handler) {
  newConnection_ = std::move(handler);
}

std::shared_ptr<FakeConnection> FakeListener::connect(Endpoint from) {
  auto flow = std::make_shared<FakeConnection>(std::move(from));
  flows.push_back(flow);
  if (queue_ && newConnection_) queue_->async([handler = newConnection_, flow] { handler(flow); });
  return flow;
}

std::shared_ptr<FakeConnection> FakeListener::connect(const std::string& host, std::uint16_t port) {
  return connect(Endpoint::hostPort(makeHost(host), port));
}

void FakeListener::reportState(ListenerState::Kind kind, std::optional<std::string> error) {
  std::optional<NetworkError> failure;
  if (error) failure = NetworkError{1, *error};
  if (queue_ && stateHandler_) {
    queue_->async(
        [handler = stateHandler_, state = ListenerState{kind, failure}] { handler(state); });
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

Host makeHost(const std::string& text) {
  return Host{text, Bytes(text.begin(), text.end())};
}

void FakeKeyboard::press(KeyCode key, bool shift) {
  std::lock_guard lock(mutex_);
  presses_.push_back({key, shift});
}

std::vector<Press> FakeKeyboard::presses() const {
  std::lock_guard lock(mutex_);
  return presses_;
}

void FakeLog::line(std::string_view text) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(text);
}

std::vector<std::string> FakeLog::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void FakeWorkspace::activate(std::optional<std::string> bundleID) {
  std::optional<RunningApplication> app;
  if (bundleID) app = RunningApplication{*bundleID};
  if (observer_) observer_(app);
}

std::shared_ptr<StatusItem> FakeStatusBar::statusItemWithLength(double) {
  if (!available) return nullptr;
  return std::shared_ptr<StatusItem>(std::shared_ptr<void>(), this);  // held by the fixture
}

std::optional<std::string> FakeLoginItems::registerItem() {
  calls.push_back("register");
  if (error) return error;
  current = afterRegister;
  return std::nullopt;
}

std::optional<std::string> FakeLoginItems::unregisterItem() {
  calls.push_back("unregister");
  if (error) return error;
  current = LoginItemStatus::notRegistered;
  return std::nullopt;
}

}  // namespace trovik::fakes
