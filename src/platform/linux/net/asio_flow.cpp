#include "platform/linux/net/asio_flow.hpp"

#include <cerrno>

#include "platform/linux/net/asio_listener.hpp"
#include "platform/linux/net/socket_address.hpp"

namespace trovik {

using Kind = ConnectionState::Kind;

AsioFlow::AsioFlow(std::weak_ptr<AsioListener> listener, const asio::ip::udp::endpoint& peer)
    : listener_(std::move(listener)), peer_(peer), endpoint_(net::endpointOf(peer)) {}

void AsioFlow::start(WorkQueue& queue) {
  std::lock_guard lock(mutex_);
  if (started_ || shutDown_) return;
  started_ = true;
  startDeliveryLocked(queue);
  if (state_.kind == Kind::setup) moveToLocked({Kind::ready, std::nullopt});
}

void AsioFlow::receiveMessage(ReceiveCompletion completion) {
  std::lock_guard lock(mutex_);
  if (shutDown_) return;
  if (isEnded(state_)) {
    deliverLocked([completion = std::move(completion), error = endError(state_)] {
      completion(std::nullopt, error);
    });
  } else if (!queued_.empty()) {
    queuedBytes_ -= queued_.front().size() + kQueuedDatagramOverhead;
    deliverLocked(
        [completion = std::move(completion), datagram = std::move(queued_.front())]() mutable {
          completion(std::move(datagram), std::nullopt);
        });
    queued_.pop_front();
  } else {
    receivers_.push_back(std::move(completion));
  }
}

void AsioFlow::deliver(Bytes datagram) {
  std::lock_guard lock(mutex_);
  if (shutDown_ || isEnded(state_)) return;
  if (!receivers_.empty()) {
    deliverLocked(
        [completion = std::move(receivers_.front()), datagram = std::move(datagram)]() mutable {
          completion(std::move(datagram), std::nullopt);
        });
    receivers_.pop_front();
  } else {
    const std::size_t cost = datagram.size() + kQueuedDatagramOverhead;
    if (!queued_.empty() && queuedBytes_ + cost > kMaxQueuedBytes) return;
    queuedBytes_ += cost;
    queued_.push_back(std::move(datagram));
  }
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
  std::lock_guard lock(mutex_);
  if (shutDown_) return;
  deliverLocked([completion = std::move(completion), outcome] { completion(outcome); });
}

void AsioFlow::end(const NetworkError& error) {
  std::lock_guard lock(mutex_);
  if (shutDown_ || !moveToLocked({Kind::failed, error})) return;
  failReceiversLocked();
}

void AsioFlow::cancel() {
  {
    std::lock_guard lock(mutex_);
    if (shutDown_ || !moveToLocked({Kind::cancelled, std::nullopt})) return;
    failReceiversLocked();
  }
  // A later datagram from the same peer starts a new flow.
  if (auto listener = listener_.lock()) listener->forget(*this, peer_);
}

void AsioFlow::failReceiversLocked() {
  queued_.clear();
  queuedBytes_ = 0;
  for (auto& completion : receivers_) {
    deliverLocked([completion = std::move(completion), error = endError(state_)] {
      completion(std::nullopt, error);
    });
  }
  receivers_.clear();
}

void AsioFlow::shutdown() {
  AsioConnection::shutdown();
  std::deque<ReceiveCompletion> dropped;  // they may hold this flow: released after the lock
  std::lock_guard lock(mutex_);
  dropped.swap(receivers_);
  queued_.clear();
  queuedBytes_ = 0;
}

}  // namespace trovik
