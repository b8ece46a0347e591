#pragma once

#include <asio/ip/udp.hpp>

#include "platform/linux/net/asio_connection.hpp"

namespace trovik {

// An outbound UDP flow (a state channel): a socket connected to the far end from an
// ephemeral port. start() opens it and moves it through preparing to ready, or to failed
// when the address cannot be reached; an ICMP error that comes back later (port or host
// unreachable), seen by a waiting read or by a send, moves it to failed and closes it.
// Sends are issued at once, in call order. It is write-only: a receive completes with an error.
// Must not outlive the AsioNetwork that made it.
class AsioChannel final : public AsioConnection {
 public:
  AsioChannel(AsioNetwork& network, Endpoint to);

  Endpoint endpoint() const override { return to_; }
  void start(WorkQueue& queue) override;
  void receiveMessage(ReceiveCompletion completion) override;
  void send(SharedBytes content, SendCompletion completion) override;
  // Closes the socket at once, so its descriptor is free when this returns.
  void cancel() override;
  void shutdown() override;

 private:
  // These with mutex_ held.
  void watchLocked();
  void failLocked(const NetworkError& error);
  void closeLocked();
  void onReadable(const std::error_code& error);

  const Endpoint to_;
  asio::ip::udp::socket socket_;
  bool started_ = false;
};

}  // namespace trovik
