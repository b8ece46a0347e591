#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/net/local_networks.hpp"
#include "platform/linux/net/netlink_interfaces.hpp"
#include "platform/linux/net/service_advertiser.hpp"
#include "platform/network.hpp"
#include "platform/work_queue.hpp"

namespace trovik {

class AsioConnection;
class AsioListener;

// UDP on Asio. One io_context, run by a small pool of threads of its own, serves the sockets
// and the agent's work queue alike. Each connection's callbacks run on a strand of that
// pool, in order; a datagram for a receive that is already waiting is handed over on the
// thread that read it. start() of a listener or connection must be given workQueue(),
// which is where their callbacks run whatever queue is passed.
//
// Listeners take datagrams only from this computer's own networks, as rtnetlink tells them,
// and from the prefixes in `allowedNetworks` (a VPN's, say).
//
// Listeners, flows and channels must not outlive this object; the advertiser must outlive it.
class AsioNetwork final : public Network {
 public:
  // Receive buffer asked for on the command socket, in bytes.
  static constexpr int kCommandReceiveBuffer = 4 << 20;
  static unsigned defaultThreads();

  explicit AsioNetwork(ServiceAdvertiser& advertiser, std::vector<net::Prefix> allowedNetworks = {},
                       unsigned threads = defaultThreads());
  ~AsioNetwork() override;  // shuts down

  ListenerResult makeListener(std::uint16_t port, ConnectionParameters parameters) override;
  std::shared_ptr<Connection> makeConnection(Endpoint to, ConnectionParameters parameters) override;

  // Concurrent: tasks run on the pool threads, several at once, in no promised order.
  WorkQueue& workQueue() { return queue_; }

  // Closes every socket, withdraws the advertisement, drops every pending callback and task
  // (they hold their connections) and ends the pool threads; nothing is called back after it
  // returns. Objects made later are closed from the start. Idempotent; call it from any
  // thread but the pool's.
  void shutdown();

  // For the network's own objects.
  asio::io_context& context() { return context_; }
  ServiceAdvertiser& advertiser() { return advertiser_; }
  const net::LocalNetworks& localNetworks() const { return localNetworks_; }
  bool stopped() const { return stopped_.load(std::memory_order_acquire); }
  void track(const std::shared_ptr<AsioConnection>& connection);

 private:
  class Queue final : public WorkQueue {
   public:
    explicit Queue(AsioNetwork& network) : network_(network) {}
    void async(std::function<void()> task) override;

   private:
    AsioNetwork& network_;
  };

  template <typename T>
  static void prune(std::vector<std::weak_ptr<T>>& objects);

  ServiceAdvertiser& advertiser_;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<bool> stopped_ = false;
  Queue queue_{*this};
  net::LocalNetworks localNetworks_;
  net::NetlinkInterfaces interfaces_{context_, localNetworks_};
  std::mutex mutex_;
  std::vector<std::weak_ptr<AsioConnection>> connections_;
  std::vector<std::weak_ptr<AsioListener>> listeners_;
  std::vector<std::thread> threads_;  // last: they start once everything they use exists
};

}  // namespace trovik
