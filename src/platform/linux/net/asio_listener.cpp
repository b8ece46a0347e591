#include "platform/linux/net/asio_listener.hpp"

#include <cerrno>

#include "platform/linux/net/asio_flow.hpp"
#include "platform/linux/net/asio_network.hpp"
#include "platform/linux/net/socket_address.hpp"

namespace trovik {

using Udp = asio::ip::udp;

AsioListener::AsioListener(AsioNetwork& network, Udp::socket socket, std::uint16_t port)
    : network_(network), port_(port), socket_(std::move(socket)) {}

AsioListener::~AsioListener() {
  if (advertised_ && !closed_) network_.advertiser().withdraw();
}

void AsioListener::setService(ServiceDescription service) {
  std::lock_guard lock(mutex_);
  service_ = std::move(service);
}

void AsioListener::setNewConnectionHandler(NewConnectionHandler handler) {
  std::lock_guard lock(mutex_);
  if (!shutDown_) newConnection_ = std::move(handler);
}

void AsioListener::setStateHandler(StateHandler handler) {
  std::lock_guard lock(mutex_);
  if (!shutDown_) stateHandler_ = std::move(handler);
}

void AsioListener::start(WorkQueue& queue) {
  std::optional<ServiceDescription> service;
  std::uint16_t boundPort = 0;
  {
    std::lock_guard lock(mutex_);
    if (started_ || closed_) return;
    started_ = true;
    callbacks_.start(queue, shared_from_this());
    // Unbound, the socket's own address is the wildcard of its family.
    std::error_code error;
    auto local = socket_.local_endpoint(error);
    if (!error) {
      local.port(port_);
      socket_.bind(local, error);
    }
    if (!error) boundPort = socket_.local_endpoint(error).port();
    if (error) {
      closed_ = true;
      std::error_code ignored;
      socket_.close(ignored);
      reportLocked({ListenerState::Kind::failed, net::errorOf(error)});
      return;
    }
    receiveLocked();
    reportLocked({ListenerState::Kind::ready, std::nullopt});
    service = service_;
    advertised_ = service.has_value();
  }
  if (service) network_.advertiser().advertise(*service, boundPort);
}

void AsioListener::receiveLocked() {
  std::weak_ptr<AsioListener> weak = weak_from_this();
  socket_.async_receive_from(asio::buffer(buffer_), sender_,
                             [weak](const std::error_code& error, std::size_t size) {
                               if (auto self = weak.lock()) self->onReceived(error, size);
                             });
}

void AsioListener::onReceived(const std::error_code& error, std::size_t size) {
  if (error == asio::error::operation_aborted) return;
  if (error) {
    fail(net::errorOf(error));
    return;
  }
  Bytes datagram(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size));
  const Udp::endpoint peer = sender_;
  std::shared_ptr<AsioFlow> flow;
  std::shared_ptr<AsioFlow> evicted;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    if (auto found = flows_.find(peer); found != flows_.end()) {
      recency_.splice(recency_.begin(), recency_, found->second);
      flow = found->second->flow;
    } else if (newConnection_) {  // without one, nobody could take the flow: dropped
      if (flows_.size() >= kMaxFlows) {
        evicted = std::move(recency_.back().flow);
        flows_.erase(recency_.back().peer);
        recency_.pop_back();
      }
      flow = std::make_shared<AsioFlow>(weak_from_this(), peer);
      network_.track(flow);
      recency_.push_front(Entry{peer, flow});
      flows_.emplace(peer, recency_.begin());
      callbacks_.post([handler = newConnection_, flow] { handler(flow); }, shared_from_this());
    }
    receiveLocked();
  }
  if (evicted) evicted->end(net::osError(ETIMEDOUT));
  if (flow) flow->deliver(std::move(datagram));
}

void AsioListener::fail(const NetworkError& error) {
  std::vector<std::shared_ptr<AsioFlow>> flows;
  bool withdraw = false;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    withdraw = closeLocked(flows);
    reportLocked({ListenerState::Kind::failed, error});
  }
  if (withdraw) network_.advertiser().withdraw();
  for (const auto& flow : flows) flow->end(error);
}

bool AsioListener::closeLocked(std::vector<std::shared_ptr<AsioFlow>>& flows) {
  closed_ = true;
  std::error_code ignored;
  socket_.close(ignored);
  for (auto& entry : recency_) flows.push_back(std::move(entry.flow));
  recency_.clear();
  flows_.clear();
  return advertised_;
}

void AsioListener::reportLocked(ListenerState state) {
  if (!stateHandler_) return;
  callbacks_.post([handler = stateHandler_, state] { handler(state); }, shared_from_this());
}

std::optional<NetworkError> AsioListener::sendTo(const Udp::endpoint& peer, const Bytes& payload) {
  std::lock_guard lock(mutex_);
  if (closed_ || !socket_.is_open()) return net::osError(EBADF);
  return net::sendDatagram(socket_.native_handle(), payload, &peer);
}

void AsioListener::forget(const AsioFlow& flow, const Udp::endpoint& peer) {
  std::lock_guard lock(mutex_);
  auto found = flows_.find(peer);
  if (found == flows_.end() || found->second->flow.get() != &flow) return;
  recency_.erase(found->second);
  flows_.erase(found);
}

void AsioListener::shutdown() {
  std::vector<std::shared_ptr<AsioFlow>> flows;  // shut down by the network
  NewConnectionHandler newConnection;
  StateHandler stateHandler;
  bool withdraw = false;
  {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    newConnection = std::move(newConnection_);
    stateHandler = std::move(stateHandler_);
    newConnection_ = nullptr;
    stateHandler_ = nullptr;
    if (!closed_) withdraw = closeLocked(flows);
  }
  callbacks_.close();
  if (withdraw) network_.advertiser().withdraw();
}

}  // namespace trovik
