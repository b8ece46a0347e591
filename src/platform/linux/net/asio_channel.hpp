#pragma once

#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <cstdint>

#include "platform/linux/net/asio_connection.hpp"

namespace trovik {

// An outbound UDP flow (a state channel): a socket connected to the far end from an
// ephemeral port. start() moves it through preparing to ready, or to failed when the
// address cannot be reached; an ICMP error that comes back later (port unreachable, host
// unreachable) moves it to failed and closes it. It is write-only: a receive completes
// with an error. Must not outlive the AsioNetwork that made it.
class AsioChannel final : public AsioConnection {
 public:
  AsioChannel(asio::io_context& context, Endpoint to);

  Endpoint endpoint() const override { return to_; }
  void start(WorkQueue& queue) override;
  void receiveMessage(ReceiveCompletion completion) override;
  void send(SharedBytes content, SendCompletion completion) override;
  void cancel() override;
  void shutdown() override;

 private:
  // Both with mutex_ held.
  void watchForErrorsLocked();
  void failLocked(const NetworkError& error);
  void onWatchDone(const std::error_code& error);

  const Endpoint to_;
  std::array<std::uint8_t, 1> discard_{};  // declared before socket_, so it outlives a read
  asio::ip::udp::socket socket_;
  bool started_ = false;
};

}  // namespace trovik
