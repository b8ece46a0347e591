#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/linux/net/callback_sequence.hpp"
#include "platform/network.hpp"

namespace trovik {

// What the Asio flows and channels share: the state with its handler, and delivery of every
// callback, in order, on the WorkQueue given to start(). A posted callback keeps the
// connection alive until it has run, so a cancel is reported even when nothing else holds
// the connection any more.
class AsioConnection : public Connection, public std::enable_shared_from_this<AsioConnection> {
 public:
  ConnectionState state() const final;
  void setStateHandler(StateHandler handler) final;

  // For the network's shutdown: closes the socket and drops every pending callback (which
  // may hold this very connection); nothing is called back after it. Later calls are no-ops
  // and arm nothing.
  virtual void shutdown();

 protected:
  // All three with mutex_ held.
  // Records `next` and queues its report. Cancelled is final; failed only gives way to it.
  bool moveToLocked(ConnectionState next);
  void deliverLocked(std::function<void()> task);
  void startDeliveryLocked(WorkQueue& queue);

  static bool isEnded(const ConnectionState& state);
  // The error a receive or send gets once the connection has ended.
  static NetworkError endError(const ConnectionState& state);

  mutable std::mutex mutex_;
  ConnectionState state_;
  bool shutDown_ = false;

 private:
  StateHandler stateHandler_;
  CallbackSequence callbacks_;
};

}  // namespace trovik
