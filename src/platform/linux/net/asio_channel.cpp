#include "platform/linux/net/asio_channel.hpp"

#include <cerrno>

#include "platform/linux/net/socket_address.hpp"

namespace trovik {

using Kind = ConnectionState::Kind;

AsioChannel::AsioChannel(asio::io_context& context, Endpoint to)
    : to_(std::move(to)), socket_(context) {}

void AsioChannel::start(WorkQueue& queue) {
  std::lock_guard lock(mutex_);
  if (started_ || shutDown_) return;
  started_ = true;
  startDeliveryLocked(queue);
  if (state_.kind != Kind::setup) return;  // cancelled before start
  moveToLocked({Kind::preparing, std::nullopt});

  const auto target = net::socketEndpointOf(to_);
  if (!target) {
    moveToLocked({Kind::failed, net::osError(EINVAL)});
    return;
  }
  // Opening and connecting a UDP socket does not block: it only picks a route and a port.
  std::error_code error;
  socket_.open(target->protocol(), error);
  if (!error) {
    net::setCloseOnExec(socket_.native_handle());
    socket_.connect(*target, error);
  }
  if (error) {
    failLocked(net::errorOf(error));
    return;
  }
  moveToLocked({Kind::ready, std::nullopt});
  watchForErrorsLocked();
}

void AsioChannel::watchForErrorsLocked() {
  // A pending read is how a connected UDP socket learns of ICMP errors. Whatever the far
  // end sends here is read and dropped.
  std::weak_ptr<AsioConnection> weak = weak_from_this();
  socket_.async_receive(asio::buffer(discard_), [weak](const std::error_code& error, std::size_t) {
    if (auto self = weak.lock()) static_cast<AsioChannel&>(*self).onWatchDone(error);
  });
}

void AsioChannel::onWatchDone(const std::error_code& error) {
  std::lock_guard lock(mutex_);
  if (error == asio::error::operation_aborted || !socket_.is_open()) return;
  if (error) {
    failLocked(net::errorOf(error));
  } else {
    watchForErrorsLocked();
  }
}

void AsioChannel::failLocked(const NetworkError& error) {
  if (!moveToLocked({Kind::failed, error})) return;
  std::error_code ignored;
  socket_.close(ignored);
}

void AsioChannel::receiveMessage(ReceiveCompletion completion) {
  std::lock_guard lock(mutex_);
  if (shutDown_) return;
  deliverLocked(
      [completion = std::move(completion)] { completion(std::nullopt, net::osError(EOPNOTSUPP)); });
}

void AsioChannel::send(SharedBytes content, SendCompletion completion) {
  std::lock_guard lock(mutex_);
  if (shutDown_) return;
  std::optional<NetworkError> outcome;
  if (state_.kind == Kind::ready) {
    outcome = net::sendDatagram(socket_.native_handle(), *content, nullptr);
    // An ICMP error may surface here first rather than at the pending read.
    if (outcome && net::isUnreachable(outcome->code)) failLocked(*outcome);
  } else {
    outcome = isEnded(state_) ? endError(state_) : net::osError(ENOTCONN);
  }
  deliverLocked([completion = std::move(completion), outcome] { completion(outcome); });
}

void AsioChannel::cancel() {
  std::lock_guard lock(mutex_);
  if (shutDown_ || !moveToLocked({Kind::cancelled, std::nullopt})) return;
  std::error_code ignored;
  socket_.close(ignored);
}

void AsioChannel::shutdown() {
  AsioConnection::shutdown();
  std::lock_guard lock(mutex_);
  std::error_code ignored;
  socket_.close(ignored);
}

}  // namespace trovik
