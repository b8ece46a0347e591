#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fakes/timeline.hpp"
#include "platform/network.hpp"

namespace trovik::fakes {

Host makeHost(const std::string& text);
NetworkError makeError(const std::string& text, int code = 1);

// A flow the test drives. Every callback goes through the WorkQueue it was started on, so
// nothing runs inside the call that armed it.
class FakeConnection final : public Connection,
                             public std::enable_shared_from_this<FakeConnection> {
 public:
  explicit FakeConnection(Endpoint endpoint, ConnectionParameters parameters = {})
      : endpoint_(std::move(endpoint)), parameters_(parameters) {}

  Endpoint endpoint() const override { return endpoint_; }
  ConnectionState state() const override;
  void setStateHandler(StateHandler handler) override;
  void start(WorkQueue& queue) override;
  void receiveMessage(ReceiveCompletion completion) override;
  void send(SharedBytes content, SendCompletion completion) override;
  void cancel() override;

  // Test side.
  void reportState(ConnectionState state);
  void becomeReady() { reportState({ConnectionState::Kind::ready, std::nullopt}); }
  // Hands the pending receive its outcome; false when no receive is armed.
  bool completeReceive(std::optional<Bytes> content, std::optional<NetworkError> error = {});
  bool completeReceive(const std::string& text) {
    return completeReceive(Bytes(text.begin(), text.end()));
  }
  bool hasPendingReceive() const;
  // Later sends complete with this outcome (success when empty).
  void setSendOutcome(std::optional<NetworkError> error);

  std::vector<std::string> datagrams() const;
  std::vector<SharedBytes> payloads() const;
  int cancelCount() const;
  int startCount() const;
  int receiveCount() const;
  ConnectionParameters parameters() const { return parameters_; }
  void releaseCallbacks();

 private:
  WorkQueue* queue() const;
  const Endpoint endpoint_;
  const ConnectionParameters parameters_;
  mutable std::mutex mutex_;
  ConnectionState state_;
  StateHandler stateHandler_;
  WorkQueue* queue_ = nullptr;
  std::optional<ReceiveCompletion> pendingReceive_;
  std::optional<NetworkError> sendOutcome_;
  std::vector<SharedBytes> sent_;
  int cancels_ = 0;
  int starts_ = 0;
  int receives_ = 0;
};

class FakeNetwork;

class FakeListener final : public Listener {
 public:
  explicit FakeListener(FakeNetwork& network) : network_(network) {}
  void setService(ServiceDescription service) override;
  void setNewConnectionHandler(NewConnectionHandler handler) override;
  void setStateHandler(StateHandler handler) override;
  void start(WorkQueue& queue) override;

  // Test side: a first datagram from a new peer; the flow is handed over through the queue.
  std::shared_ptr<FakeConnection> connect(Endpoint from);
  void reportState(ListenerState state);

  std::optional<ServiceDescription> service() const;
  bool started() const;
  void releaseCallbacks();

 private:
  FakeNetwork& network_;
  mutable std::mutex mutex_;
  std::optional<ServiceDescription> service_;
  NewConnectionHandler newConnection_;
  StateHandler stateHandler_;
  WorkQueue* queue_ = nullptr;
};

class FakeNetwork final : public Network, public Recording {
 public:
  ~FakeNetwork() override;
  ListenerResult makeListener(std::uint16_t port, ConnectionParameters parameters) override;
  std::shared_ptr<Connection> makeConnection(Endpoint to, ConnectionParameters parameters) override;

  void failListenerCreation(NetworkError error) { listenerError_ = std::move(error); }
  std::shared_ptr<FakeListener> listener() const { return listener_; }
  std::uint16_t listenerPort() const { return listenerPort_; }
  ConnectionParameters listenerParameters() const { return listenerParameters_; }
  // Every outbound connection made, in order.
  std::vector<std::shared_ptr<FakeConnection>> channels() const;
  std::shared_ptr<FakeConnection> track(std::shared_ptr<FakeConnection> connection);

 private:
  mutable std::mutex mutex_;
  std::optional<NetworkError> listenerError_;
  std::shared_ptr<FakeListener> listener_;
  std::uint16_t listenerPort_ = 0;
  ConnectionParameters listenerParameters_;
  std::vector<std::shared_ptr<FakeConnection>> channels_;
  std::vector<std::weak_ptr<FakeConnection>> all_;
};

}  // namespace trovik::fakes
