#include "platform/linux/net/asio_connection.hpp"

#include <cerrno>

#include "platform/linux/net/socket_address.hpp"

namespace trovik {

ConnectionState AsioConnection::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void AsioConnection::setStateHandler(StateHandler handler) {
  std::lock_guard lock(mutex_);
  if (!shutDown_) stateHandler_ = std::move(handler);
}

void AsioConnection::shutdown() {
  StateHandler handler;  // released after the lock
  {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    handler = std::move(stateHandler_);
    stateHandler_ = nullptr;
  }
  callbacks_.close();
}

bool AsioConnection::moveToLocked(ConnectionState next) {
  if (state_.kind == ConnectionState::Kind::cancelled) return false;
  if (state_.kind == ConnectionState::Kind::failed &&
      next.kind != ConnectionState::Kind::cancelled) {
    return false;
  }
  state_ = next;
  if (stateHandler_) deliverLocked([handler = stateHandler_, next] { handler(next); });
  return true;
}

void AsioConnection::deliverLocked(std::function<void()> task) {
  callbacks_.post(std::move(task), shared_from_this());
}

void AsioConnection::startDeliveryLocked(WorkQueue& queue) {
  callbacks_.start(queue, shared_from_this());
}

bool AsioConnection::isEnded(const ConnectionState& state) {
  return state.kind == ConnectionState::Kind::failed ||
         state.kind == ConnectionState::Kind::cancelled;
}

NetworkError AsioConnection::endError(const ConnectionState& state) {
  if (state.kind == ConnectionState::Kind::failed && state.error) return *state.error;
  return net::osError(ECANCELED);
}

}  // namespace trovik
