#include "platform/linux/net/asio_channel.hpp"

#include <sys/socket.h>

#include <cerrno>

#include "platform/linux/net/asio_network.hpp"
#include "platform/linux/net/socket_address.hpp"

namespace trovik {

using Kind = ConnectionState::Kind;

AsioChannel::AsioChannel(AsioNetwork& network, Endpoint to)
    : AsioConnection(network), to_(std::move(to)), socket_(network.context()) {}

// Callbacks run on the network's threads whatever `queue` is: the agent passes the
// network's own work queue.
void AsioChannel::start(WorkQueue&) {
  std::lock_guard lock(mutex_);
  if (started_ || shutDown_) return;
  started_ = true;
  if (state_.kind != Kind::setup) return;  // cancelled before start
  moveToLocked({Kind::preparing, std::nullopt});

  if (auto error = net::adopt(socket_, net::connectUdp(to_))) {
    failLocked(*error);
    return;
  }
  moveToLocked({Kind::ready, std::nullopt});
  watchLocked();
}

void AsioChannel::watchLocked() {
  // A connected UDP socket learns of ICMP errors as the error of a read.
  socket_.async_wait(asio::socket_base::wait_read,
                     [weak = weak_from_this()](const std::error_code& error) {
                       if (auto self = weak.lock())
                         static_cast<AsioChannel&>(*self).onReadable(error);
                     });
}

void AsioChannel::onReadable(const std::error_code& error) {
  std::lock_guard lock(mutex_);
  if (error == asio::error::operation_aborted || !socket_.is_open()) return;
  if (error) {
    failLocked(net::errorOf(error));
    return;
  }
  // Whatever the far end sends here is read and dropped, a bounded number per wake-up.
  for (int i = 0; i < 16; ++i) {
    char discard;
    if (::recv(socket_.native_handle(), &discard, 1, MSG_DONTWAIT) >= 0 || errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      failLocked(net::osError(errno));
      return;
    }
    break;
  }
  watchLocked();
}

void AsioChannel::failLocked(const NetworkError& error) {
  if (moveToLocked({Kind::failed, error})) closeLocked();
}

void AsioChannel::closeLocked() {
  std::error_code ignored;
  socket_.close(ignored);
}

void AsioChannel::receiveMessage(ReceiveCompletion completion) {
  std::lock_guard lock(mutex_);
  if (shutDown_) return;
  post(
      [completion = std::move(completion)] { completion(std::nullopt, net::osError(EOPNOTSUPP)); });
}

void AsioChannel::send(SharedBytes content, SendCompletion completion) {
  std::lock_guard lock(mutex_);
  if (shutDown_) return;
  std::optional<NetworkError> outcome;
  if (state_.kind == Kind::ready) {
    outcome = net::sendDatagram(socket_.native_handle(), *content, nullptr);
    // An ICMP error may surface here first rather than at the waiting read.
    if (outcome && net::isUnreachable(outcome->code)) failLocked(*outcome);
  } else {
    outcome = isEnded(state_) ? endError(state_) : net::osError(ENOTCONN);
  }
  post([completion = std::move(completion), outcome] { completion(outcome); });
}

void AsioChannel::cancel() {
  std::lock_guard lock(mutex_);
  if (!shutDown_ && moveToLocked({Kind::cancelled, std::nullopt})) closeLocked();
}

void AsioChannel::shutdown() {
  AsioConnection::shutdown();
  std::lock_guard lock(mutex_);
  closeLocked();
}

}  // namespace trovik
