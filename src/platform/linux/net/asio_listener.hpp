#pragma once

#include <asio/ip/udp.hpp>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/linux/net/callback_sequence.hpp"
#include "platform/network.hpp"

namespace trovik {

class AsioFlow;
class AsioNetwork;

// A UDP socket on every interface that demultiplexes its datagrams into flows, one per
// remote address and port. A new peer's flow goes to the new-connection handler before any
// of its datagrams can be received. The socket is bound, and the service advertised, at
// start(); a bind error is reported as the failed state. Must not outlive its AsioNetwork.
class AsioListener final : public Listener, public std::enable_shared_from_this<AsioListener> {
 public:
  // Past this many live flows the one idle longest ends with an error, so that spoofed or
  // churning sources cannot grow memory without bound.
  static constexpr std::size_t kMaxFlows = 1024;

  // `socket` is open (dual-stack IPv6, or IPv4) and not bound.
  AsioListener(AsioNetwork& network, asio::ip::udp::socket socket, std::uint16_t port);
  ~AsioListener() override;

  void setService(ServiceDescription service) override;
  void setNewConnectionHandler(NewConnectionHandler handler) override;
  void setStateHandler(StateHandler handler) override;
  void start(WorkQueue& queue) override;

  // Flow side.
  std::optional<NetworkError> sendTo(const asio::ip::udp::endpoint& peer, const Bytes& payload);
  // Stops routing `peer` to `flow` (cancelled); its next datagram starts a new flow.
  void forget(const AsioFlow& flow, const asio::ip::udp::endpoint& peer);

  // Closes the socket, withdraws the service and drops every handler and pending callback.
  void shutdown();

 private:
  struct Entry {
    asio::ip::udp::endpoint peer;
    std::shared_ptr<AsioFlow> flow;
  };
  using Recency = std::list<Entry>;  // most recently active first

  void receiveLocked();
  void onReceived(const std::error_code& error, std::size_t size);
  void fail(const NetworkError& error);
  void reportLocked(ListenerState state);
  // Closes the socket; the flows it had are returned, and whether the service must go.
  bool closeLocked(std::vector<std::shared_ptr<AsioFlow>>& flows);

  AsioNetwork& network_;
  const std::uint16_t port_;
  std::mutex mutex_;
  std::optional<ServiceDescription> service_;
  NewConnectionHandler newConnection_;
  StateHandler stateHandler_;
  CallbackSequence callbacks_;
  Recency recency_;
  std::unordered_map<asio::ip::udp::endpoint, Recency::iterator> flows_;
  bool started_ = false;
  bool closed_ = false;  // the socket is closed: failed, or shut down
  bool shutDown_ = false;
  bool advertised_ = false;
  // Written only by the read in flight and read by its handler, both on the I/O thread.
  // Declared before socket_, so both outlive a pending read.
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(64 * 1024);
  asio::ip::udp::endpoint sender_;
  asio::ip::udp::socket socket_;
};

}  // namespace trovik
