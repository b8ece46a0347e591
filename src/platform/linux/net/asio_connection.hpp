#pragma once

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <memory>
#include <mutex>

#include "platform/network.hpp"

namespace trovik {

class AsioNetwork;

// What flows and channels share: the state with its handler, and a strand of the network's
// threads on which every callback of the connection runs, one at a time and in order, never
// inside the call that armed it. A queued callback holds the connection until it has run,
// so a cancel is reported even when nothing else holds the connection any more.
class AsioConnection : public Connection, public std::enable_shared_from_this<AsioConnection> {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;

  void setStateHandler(StateHandler handler) final;

  // For the network's shutdown: closes the socket and drops every handler and pending
  // completion (which may hold this very connection). Later calls are no-ops.
  virtual void shutdown();

 protected:
  explicit AsioConnection(AsioNetwork& network);

  // With mutex_ held: records `next` and queues its report. Cancelled is final; failed only
  // gives way to it.
  bool moveToLocked(ConnectionState next);

  // Queues `task` on the strand; it is dropped unrun once the network has stopped.
  template <typename Task>
  void post(Task task) {
    asio::post(strand_, [self = shared_from_this(), task = std::move(task)]() mutable {
      if (!self->networkStopped()) task();
    });
  }
  bool networkStopped() const;

  static bool isEnded(const ConnectionState& state);
  // The error a receive or send gets once the connection has ended.
  static NetworkError endError(const ConnectionState& state);

  AsioNetwork& network_;
  Strand strand_;
  mutable std::mutex mutex_;
  ConnectionState state_;  // may be ahead of what the handler has been told
  bool shutDown_ = false;

 private:
  StateHandler stateHandler_;
};

}  // namespace trovik
