#include "platform/linux/net/asio_flow.hpp"

#include <asio/dispatch.hpp>
#include <cerrno>

#include "platform/linux/net/asio_listener.hpp"
#include "platform/linux/net/host_address.hpp"
#include "platform/linux/net/socket_address.hpp"

namespace trovik {

using Kind = ConnectionState::Kind;

AsioFlow::AsioFlow(AsioNetwork& network, std::weak_ptr<AsioListener> listener,
                   const asio::ip::udp::endpoint& peer)
    : AsioConnection(network),
      listener_(std::move(listener)),
      peer_(peer),
      endpoint_(net::endpointOf(peer.data(), static_cast<socklen_t>(peer.size()))) {}

// Callbacks run on the network's threads whatever `queue` is: the agent passes the
// network's own work queue.
void AsioFlow::start(WorkQueue&) {
  std::lock_guard lock(mutex_);
  if (started_ || shutDown_) return;
  started_ = true;
  if (state_.kind == Kind::setup) moveToLocked({Kind::ready, std::nullopt});
}

void AsioFlow::receiveMessage(ReceiveCompletion completion) {
  std::lock_guard lock(mutex_);
  if (shutDown_) return;  // the completion goes after the lock
  std::optional<Bytes> datagram;
  std::optional<NetworkError> error;
  if (isEnded(state_)) {
    error = endError(state_);
  } else if (!queued_.empty()) {
    queuedBytes_ -= queued_.front().size() + kQueuedDatagramOverhead;
    datagram = std::move(queued_.front());
    queued_.pop_front();
  } else if (receiver_) {
    error = net::osError(EALREADY);
  } else {
    receiver_ = std::move(completion);
    return;
  }
  post([completion = std::move(completion), datagram = std::move(datagram), error]() mutable {
    completion(std::move(datagram), error);
  });
}

AsioFlow::Offer AsioFlow::offer(std::span<const std::uint8_t> payload,
                                std::vector<Handover>& handovers) {
  std::lock_guard lock(mutex_);
  if (shutDown_ || isEnded(state_)) return Offer::ended;
  if (receiver_) {
    handovers.push_back({std::static_pointer_cast<AsioFlow>(shared_from_this()),
                         std::exchange(receiver_, nullptr), Bytes(payload.begin(), payload.end())});
    return Offer::handedOver;
  }
  const std::size_t cost = payload.size() + kQueuedDatagramOverhead;
  if (!queued_.empty() && queuedBytes_ + cost > kMaxQueuedBytes) return Offer::full;
  queuedBytes_ += cost;
  queued_.emplace_back(payload.begin(), payload.end());
  return Offer::queued;
}

void AsioFlow::Handover::run() {
  AsioFlow& target = *flow;
  asio::dispatch(target.strand_, [flow = std::move(flow), receiver = std::move(receiver),
                                  datagram = std::move(datagram)]() mutable {
    if (!flow->networkStopped()) receiver(std::move(datagram), std::nullopt);
  });
}

void AsioFlow::introduce(const std::function<void(std::shared_ptr<Connection>)>& handler) {
  post([this, handler] { handler(std::static_pointer_cast<AsioFlow>(shared_from_this())); });
}

void AsioFlow::send(SharedBytes content, SendCompletion completion) {
  std::optional<NetworkError> outcome;
  {
    std::lock_guard lock(mutex_);
    if (shutDown_) return;
    if (isEnded(state_)) outcome = endError(state_);
  }
  if (!outcome) {
    auto listener = listener_.lock();
    outcome = listener ? listener->sendTo(peer_, *content) : net::osError(EBADF);
  }
  post([completion = std::move(completion), outcome] { completion(outcome); });
}

void AsioFlow::end(const NetworkError& error) {
  std::lock_guard lock(mutex_);
  if (shutDown_ || !moveToLocked({Kind::failed, error})) return;
  endReceiveLocked();
}

void AsioFlow::cancel() {
  {
    std::lock_guard lock(mutex_);
    if (shutDown_ || !moveToLocked({Kind::cancelled, std::nullopt})) return;
    endReceiveLocked();
  }
  // A later datagram from the same peer starts a new flow.
  if (auto listener = listener_.lock())
    listener->forget(peer_, std::static_pointer_cast<AsioFlow>(shared_from_this()));
}

void AsioFlow::endReceiveLocked() {
  queued_.clear();
  queuedBytes_ = 0;
  if (!receiver_) return;
  post([completion = std::exchange(receiver_, nullptr), error = endError(state_)] {
    completion(std::nullopt, error);
  });
}

void AsioFlow::shutdown() {
  AsioConnection::shutdown();
  ReceiveCompletion dropped;  // may hold this flow: released after the lock
  std::lock_guard lock(mutex_);
  dropped.swap(receiver_);
  queued_.clear();
  queuedBytes_ = 0;
}

}  // namespace trovik
