#pragma once

#include <asio/ip/udp.hpp>
#include <cstddef>
#include <deque>
#include <memory>

#include "platform/linux/net/asio_connection.hpp"

namespace trovik {

class AsioListener;

// An inbound UDP flow: the datagrams that one remote address and port sent to a listener.
// The listener feeds it; datagrams wait in arrival order until a receive takes them. It
// ends with an error only when the listener fails or evicts it. Sends leave from the
// listener's socket.
class AsioFlow final : public AsioConnection {
 public:
  // Waiting datagrams are bounded by memory, not by count: a burst of short commands fits
  // (about 900), while 1024 flows of large datagrams cannot hold more than 64 MiB. Each
  // datagram costs its size plus kQueuedDatagramOverhead. Beyond the budget the newest are
  // dropped, as a full socket buffer would drop them; one datagram always fits an empty
  // queue, whatever its size.
  static constexpr std::size_t kMaxQueuedBytes = 64 * 1024;
  static constexpr std::size_t kQueuedDatagramOverhead = 64;

  AsioFlow(std::weak_ptr<AsioListener> listener, const asio::ip::udp::endpoint& peer);

  Endpoint endpoint() const override { return endpoint_; }
  void start(WorkQueue& queue) override;
  void receiveMessage(ReceiveCompletion completion) override;
  void send(SharedBytes content, SendCompletion completion) override;
  void cancel() override;
  void shutdown() override;

  // Listener side; both return at once.
  void deliver(Bytes datagram);
  // Fails the flow: a pending or later receive completes with `error`; queued datagrams go.
  void end(const NetworkError& error);

 private:
  void failReceiversLocked();

  const std::weak_ptr<AsioListener> listener_;
  const asio::ip::udp::endpoint peer_;
  const Endpoint endpoint_;
  std::deque<Bytes> queued_;
  std::size_t queuedBytes_ = 0;
  std::deque<ReceiveCompletion> receivers_;
  bool started_ = false;
};

}  // namespace trovik
