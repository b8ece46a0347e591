#pragma once

#include <asio/ip/udp.hpp>
#include <cstddef>
#include <deque>
#include <memory>
#include <span>
#include <vector>

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
  // (about 900), while 512 flows of large datagrams cannot hold more than 32 MiB. Each
  // datagram costs its size plus kQueuedDatagramOverhead. Beyond the budget the newest are
  // dropped, as a full socket buffer would drop them; one datagram always fits an empty
  // queue, whatever its size.
  static constexpr std::size_t kMaxQueuedBytes = 64 * 1024;
  static constexpr std::size_t kQueuedDatagramOverhead = 64;

  AsioFlow(AsioNetwork& network, std::weak_ptr<AsioListener> listener,
           const asio::ip::udp::endpoint& peer);

  Endpoint endpoint() const override { return endpoint_; }
  void start(WorkQueue& queue) override;
  // One receive at a time: another armed while one waits completes with EALREADY.
  void receiveMessage(ReceiveCompletion completion) override;
  void send(SharedBytes content, SendCompletion completion) override;
  void cancel() override;
  void shutdown() override;

  // A datagram for a receive that was already waiting. run() hands it over on the flow's
  // strand, at once when this thread may enter it, so the command path has no thread hop.
  struct Handover {
    std::shared_ptr<AsioFlow> flow;
    ReceiveCompletion receiver;
    Bytes datagram;
    void run();
  };
  enum class Offer { queued, handedOver, full, ended };

  // Listener side, with the listener's lock held so that a peer's datagrams keep their
  // order. A datagram that a receive waits for goes to `handovers`, to be run once that
  // lock is released.
  Offer offer(std::span<const std::uint8_t> payload, std::vector<Handover>& handovers);
  // Runs `handler` with this new flow on its strand, before any datagram can be received.
  void introduce(const std::function<void(std::shared_ptr<Connection>)>& handler);
  // Fails the flow: a pending or later receive completes with `error`; queued datagrams go.
  void end(const NetworkError& error);

 private:
  void endReceiveLocked();

  const std::weak_ptr<AsioListener> listener_;
  const asio::ip::udp::endpoint peer_;
  const Endpoint endpoint_;
  std::deque<Bytes> queued_;
  std::size_t queuedBytes_ = 0;
  ReceiveCompletion receiver_;
  bool started_ = false;
};

}  // namespace trovik
