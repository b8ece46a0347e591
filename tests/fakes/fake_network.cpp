#include "fakes/fake_network.hpp"

#include "platform/work_queue.hpp"

namespace trovik::fakes {

Host makeHost(const std::string& text) {
  return Host{text, Bytes(text.begin(), text.end())};
}

NetworkError makeError(const std::string& text, int code) {
  return NetworkError{code, text};
}

ConnectionState FakeConnection::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void FakeConnection::setStateHandler(StateHandler handler) {
  std::lock_guard lock(mutex_);
  stateHandler_ = std::move(handler);
}

void FakeConnection::start(WorkQueue& queue) {
  std::lock_guard lock(mutex_);
  queue_ = &queue;
  ++starts_;
}

WorkQueue* FakeConnection::queue() const {
  std::lock_guard lock(mutex_);
  return queue_;
}

void FakeConnection::receiveMessage(ReceiveCompletion completion) {
  std::lock_guard lock(mutex_);
  pendingReceive_ = std::move(completion);
  ++receives_;
}

void FakeConnection::send(SharedBytes content, SendCompletion completion) {
  std::optional<NetworkError> outcome;
  WorkQueue* q;
  {
    std::lock_guard lock(mutex_);
    sent_.push_back(content);
    outcome = sendOutcome_;
    q = queue_;
  }
  if (q) q->async([completion = std::move(completion), outcome] { completion(outcome); });
}

void FakeConnection::cancel() {
  {
    std::lock_guard lock(mutex_);
    ++cancels_;
  }
  reportState({ConnectionState::Kind::cancelled, std::nullopt});
}

void FakeConnection::reportState(ConnectionState state) {
  StateHandler handler;
  WorkQueue* q;
  {
    std::lock_guard lock(mutex_);
    state_ = state;
    handler = stateHandler_;
    q = queue_;
  }
  if (handler && q) q->async([handler, state] { handler(state); });
}

bool FakeConnection::completeReceive(std::optional<Bytes> content,
                                     std::optional<NetworkError> error) {
  ReceiveCompletion completion;
  WorkQueue* q;
  {
    std::lock_guard lock(mutex_);
    if (!pendingReceive_ || !queue_) return false;
    completion = std::move(*pendingReceive_);
    pendingReceive_.reset();
    q = queue_;
  }
  q->async([completion = std::move(completion), content = std::move(content), error]() mutable {
    completion(std::move(content), std::move(error));
  });
  return true;
}

bool FakeConnection::hasPendingReceive() const {
  std::lock_guard lock(mutex_);
  return pendingReceive_.has_value();
}

void FakeConnection::setSendOutcome(std::optional<NetworkError> error) {
  std::lock_guard lock(mutex_);
  sendOutcome_ = std::move(error);
}

std::vector<std::string> FakeConnection::datagrams() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& bytes : sent_) out.emplace_back(bytes->begin(), bytes->end());
  return out;
}

std::vector<SharedBytes> FakeConnection::payloads() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

int FakeConnection::cancelCount() const {
  std::lock_guard lock(mutex_);
  return cancels_;
}

int FakeConnection::startCount() const {
  std::lock_guard lock(mutex_);
  return starts_;
}

int FakeConnection::receiveCount() const {
  std::lock_guard lock(mutex_);
  return receives_;
}

void FakeConnection::releaseCallbacks() {
  std::lock_guard lock(mutex_);
  pendingReceive_.reset();
  stateHandler_ = nullptr;
}

void FakeListener::setService(ServiceDescription service) {
  std::lock_guard lock(mutex_);
  service_ = std::move(service);
}

void FakeListener::setNewConnectionHandler(NewConnectionHandler handler) {
  std::lock_guard lock(mutex_);
  newConnection_ = std::move(handler);
}

void FakeListener::setStateHandler(StateHandler handler) {
  std::lock_guard lock(mutex_);
  stateHandler_ = std::move(handler);
}

void FakeListener::start(WorkQueue& queue) {
  std::lock_guard lock(mutex_);
  queue_ = &queue;
}

std::shared_ptr<FakeConnection> FakeListener::connect(Endpoint from) {
  auto connection = network_.track(std::make_shared<FakeConnection>(std::move(from)));
  std::lock_guard lock(mutex_);
  if (queue_ && newConnection_) {
    queue_->async([handler = newConnection_, connection] { handler(connection); });
  }
  return connection;
}

void FakeListener::reportState(ListenerState state) {
  std::lock_guard lock(mutex_);
  if (queue_ && stateHandler_) queue_->async([handler = stateHandler_, state] { handler(state); });
}

std::optional<ServiceDescription> FakeListener::service() const {
  std::lock_guard lock(mutex_);
  return service_;
}

bool FakeListener::started() const {
  std::lock_guard lock(mutex_);
  return queue_ != nullptr;
}

void FakeListener::releaseCallbacks() {
  std::lock_guard lock(mutex_);
  newConnection_ = nullptr;
  stateHandler_ = nullptr;
}

FakeNetwork::~FakeNetwork() {
  // Pending completions own their connections; break those cycles.
  if (listener_) listener_->releaseCallbacks();
  for (const auto& weak : all_) {
    if (auto c = weak.lock()) c->releaseCallbacks();
  }
}

Network::ListenerResult FakeNetwork::makeListener(std::uint16_t port,
                                                  ConnectionParameters parameters) {
  record("network.makeListener(" + std::to_string(port) + ")");
  std::lock_guard lock(mutex_);
  listenerPort_ = port;
  listenerParameters_ = parameters;
  if (listenerError_) return {nullptr, *listenerError_};
  listener_ = std::make_shared<FakeListener>(*this);
  return {listener_, {}};
}

std::shared_ptr<Connection> FakeNetwork::makeConnection(Endpoint to,
                                                        ConnectionParameters parameters) {
  auto channel = track(std::make_shared<FakeConnection>(std::move(to), parameters));
  std::lock_guard lock(mutex_);
  channels_.push_back(channel);
  return channel;
}

std::vector<std::shared_ptr<FakeConnection>> FakeNetwork::channels() const {
  std::lock_guard lock(mutex_);
  return channels_;
}

std::shared_ptr<FakeConnection> FakeNetwork::track(std::shared_ptr<FakeConnection> connection) {
  std::lock_guard lock(mutex_);
  all_.push_back(connection);
  return connection;
}

}  // namespace trovik::fakes
