#include "platform/linux/net/asio_connection.hpp"

#include <cerrno>

#include "platform/linux/net/asio_network.hpp"
#include "platform/linux/net/socket_address.hpp"

namespace trovik {

using Kind = ConnectionState::Kind;

AsioConnection::AsioConnection(AsioNetwork& network)
    : network_(network), strand_(asio::make_strand(network.context())) {}

void AsioConnection::setStateHandler(StateHandler handler) {
  std::lock_guard lock(mutex_);
  if (!shutDown_) stateHandler_ = std::move(handler);
}

void AsioConnection::shutdown() {
  StateHandler handler;  // may hold this connection: released after the lock
  std::lock_guard lock(mutex_);
  shutDown_ = true;
  handler.swap(stateHandler_);
}

bool AsioConnection::moveToLocked(ConnectionState next) {
  if (state_.kind == Kind::cancelled) return false;
  if (state_.kind == Kind::failed && next.kind != Kind::cancelled) return false;
  state_ = next;
  if (stateHandler_) post([handler = stateHandler_, next] { handler(next); });
  return true;
}

bool AsioConnection::networkStopped() const {
  return network_.stopped();
}

bool AsioConnection::isEnded(const ConnectionState& state) {
  return state.kind == Kind::failed || state.kind == Kind::cancelled;
}

NetworkError AsioConnection::endError(const ConnectionState& state) {
  if (state.kind == Kind::failed && state.error) return *state.error;
  return net::osError(ECANCELED);
}

}  // namespace trovik
