#pragma once

#include <asio/ip/udp.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/linux/drop_counter.hpp"
#include "platform/linux/net/asio_connection.hpp"
#include "platform/linux/net/asio_flow.hpp"
#include "platform/linux/net/datagram_batch.hpp"
#include "platform/linux/net/flow_table.hpp"
#include "platform/network.hpp"

namespace trovik {

// A UDP socket on every interface that demultiplexes its datagrams into flows, one per
// remote address and port, within the bounds of a FlowTable. Only datagrams from this
// computer's own networks (LocalNetworks) are taken. A new peer's flow goes to the
// new-connection handler before any of its datagrams can be received. The socket is bound,
// and the service advertised, at start(); a bind error is reported as the failed state.
// Datagrams it drops or ignores are counted and reported on standard error. Must not outlive
// its AsioNetwork.
class AsioListener final : public Listener, public std::enable_shared_from_this<AsioListener> {
 public:
  struct HostOf {
    asio::ip::address operator()(const asio::ip::udp::endpoint& peer) const {
      return peer.address();
    }
  };
  using Table = net::FlowTable<asio::ip::udp::endpoint, std::shared_ptr<AsioFlow>,
                               std::hash<asio::ip::udp::endpoint>, HostOf>;

  // `socket` is open (dual-stack IPv6, or IPv4) and not bound.
  AsioListener(AsioNetwork& network, asio::ip::udp::socket socket, std::uint16_t port);
  ~AsioListener() override;

  void setService(ServiceDescription service) override;
  void setNewConnectionHandler(NewConnectionHandler handler) override;
  void setStateHandler(StateHandler handler) override;
  // Callbacks run on the network's threads whatever `queue` is: the agent passes the
  // network's own work queue.
  void start(WorkQueue& queue) override;

  // Flow side.
  std::optional<NetworkError> sendTo(const asio::ip::udp::endpoint& peer, const Bytes& payload);
  // Stops routing `peer` to `flow` (cancelled); its next datagram starts a new flow.
  void forget(const asio::ip::udp::endpoint& peer, const std::shared_ptr<AsioFlow>& flow);

  // Closes the socket, withdraws the service and drops every handler and flow.
  void shutdown();

 private:
  // What one wake-up read, to act on once the lock is released.
  struct Batch {
    std::vector<AsioFlow::Handover> handovers;
    std::vector<std::shared_ptr<AsioFlow>> evicted;
    std::uint64_t foreignDrops = 0;
    std::uint64_t newPeerDrops = 0;
    std::uint64_t overloadDrops = 0;
    std::optional<NetworkError> failure;
  };

  // The *Locked ones with mutex_ held.
  void waitLocked();
  void onReadable(const std::error_code& error);
  void readLocked(Batch& batch);
  void routeLocked(const asio::ip::udp::endpoint& peer, std::span<const std::uint8_t> payload,
                   Batch& batch);
  void countDropsLocked(const Batch& batch);
  void fail(const NetworkError& error);
  void reportLocked(ListenerState state);
  // Closes the socket and withdraws the service; the flows it had are returned.
  std::vector<std::shared_ptr<AsioFlow>> closeLocked();

  AsioNetwork& network_;
  const std::uint16_t port_;
  AsioConnection::Strand strand_;  // for the state handler
  std::mutex mutex_;
  std::optional<ServiceDescription> service_;
  NewConnectionHandler newConnection_;
  StateHandler stateHandler_;
  Table flows_;
  net::DatagramBatch reader_;
  DropCounter foreignDrops_{"network", [](std::uint64_t n) {
                              return "ignored " + std::to_string(n) +
                                     " datagrams from outside this computer's networks";
                            }};
  DropCounter newPeerDrops_{"network", [](std::uint64_t n) {
                              return "dropped " + std::to_string(n) +
                                     " datagrams from new peers (flood protection)";
                            }};
  DropCounter overloadDrops_{
      "network", [](std::uint64_t n) {
        return "dropped " + std::to_string(n) +
               " datagrams from clients sending faster than their commands are handled";
      }};
  bool started_ = false;
  bool closed_ = false;  // the socket is closed: failed, or shut down
  bool advertised_ = false;
  asio::ip::udp::socket socket_;
};

}  // namespace trovik
