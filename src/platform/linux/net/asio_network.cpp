#include "platform/linux/net/asio_network.hpp"

#include <algorithm>
#include <asio/post.hpp>
#include <cerrno>

#include "platform/linux/net/asio_channel.hpp"
#include "platform/linux/net/asio_listener.hpp"
#include "platform/linux/net/datagram_batch.hpp"
#include "platform/linux/net/socket_address.hpp"

namespace trovik {

using Udp = asio::ip::udp;

unsigned AsioNetwork::defaultThreads() {
  return std::max(2u, std::min(4u, std::thread::hardware_concurrency()));
}

AsioNetwork::AsioNetwork(ServiceAdvertiser& advertiser, std::vector<net::Prefix> allowedNetworks,
                         unsigned threads)
    : advertiser_(advertiser),
      context_(static_cast<int>(threads)),
      work_(asio::make_work_guard(context_)),
      localNetworks_(std::move(allowedNetworks)) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { context_.run(); });
}

AsioNetwork::~AsioNetwork() {
  shutdown();
}

void AsioNetwork::Queue::async(std::function<void()> task) {
  if (network_.stopped()) return;
  asio::post(network_.context_, [&network = network_, task = std::move(task)] {
    if (!network.stopped()) task();
  });
}

// Peer-to-peer links have no counterpart here: every interface is already included.
Network::ListenerResult AsioNetwork::makeListener(std::uint16_t port, ConnectionParameters) {
  if (stopped()) return {nullptr, net::osError(ECANCELED)};
  Udp::socket socket(context_);
  if (auto error = net::adopt(socket, net::openDualStackUdp())) return {nullptr, *error};
  // A default buffer holds only a few hundred short datagrams; a burst of commands beyond
  // that would be lost in the kernel. The kernel caps this at net.core.rmem_max.
  std::error_code ignored;
  socket.set_option(asio::socket_base::receive_buffer_size(kCommandReceiveBuffer), ignored);
  net::DatagramBatch::prepare(socket.native_handle());

  auto listener = std::make_shared<AsioListener>(*this, std::move(socket), port);
  std::lock_guard lock(mutex_);
  prune(listeners_);
  listeners_.push_back(listener);
  return {listener, {}};
}

std::shared_ptr<Connection> AsioNetwork::makeConnection(Endpoint to, ConnectionParameters) {
  auto channel = std::make_shared<AsioChannel>(*this, std::move(to));
  track(channel);
  return channel;
}

void AsioNetwork::track(const std::shared_ptr<AsioConnection>& connection) {
  {
    std::lock_guard lock(mutex_);
    if (!stopped()) {
      prune(connections_);
      connections_.push_back(connection);
      return;
    }
  }
  connection->shutdown();
}

template <typename T>
void AsioNetwork::prune(std::vector<std::weak_ptr<T>>& objects) {
  // Amortised: only when the list has just doubled since the last prune.
  if (objects.size() < 64 || (objects.size() & (objects.size() - 1)) != 0) return;
  std::erase_if(objects, [](const std::weak_ptr<T>& weak) { return weak.expired(); });
}

void AsioNetwork::shutdown() {
  std::vector<std::weak_ptr<AsioConnection>> connections;
  std::vector<std::weak_ptr<AsioListener>> listeners;
  {
    std::lock_guard lock(mutex_);
    if (stopped_.exchange(true)) return;
    connections.swap(connections_);
    listeners.swap(listeners_);
  }
  for (const auto& weak : listeners) {
    if (auto listener = weak.lock()) listener->shutdown();
  }
  for (const auto& weak : connections) {
    if (auto connection = weak.lock()) connection->shutdown();
  }
  work_.reset();
  context_.stop();
  for (auto& thread : threads_) thread.join();
  interfaces_.close();
  // What is still queued only lets go of what it holds: stopped() keeps it from calling back.
  context_.restart();
  context_.poll();
}

}  // namespace trovik
