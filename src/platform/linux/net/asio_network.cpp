#include "platform/linux/net/asio_network.hpp"

#include <algorithm>
#include <asio/ip/v6_only.hpp>
#include <cerrno>

#include "platform/linux/net/asio_channel.hpp"
#include "platform/linux/net/asio_listener.hpp"
#include "platform/linux/net/socket_address.hpp"

namespace trovik {

using Udp = asio::ip::udp;

AsioNetwork::AsioNetwork(ServiceAdvertiser& advertiser)
    : advertiser_(advertiser),
      work_(asio::make_work_guard(context_)),
      thread_([this] { context_.run(); }) {}

AsioNetwork::~AsioNetwork() {
  shutdown();
}

// Peer-to-peer links have no counterpart here: every interface is already included.
Network::ListenerResult AsioNetwork::makeListener(std::uint16_t port, ConnectionParameters) {
  {
    std::lock_guard lock(mutex_);
    if (shutDown_) return {nullptr, net::osError(ECANCELED)};
  }
  // One dual-stack socket serves IPv4 and IPv6; IPv4 alone where IPv6 is absent.
  Udp::socket socket(context_);
  std::error_code error;
  socket.open(Udp::v6(), error);
  if (!error) {
    std::error_code v6Ignored;
    socket.set_option(asio::ip::v6_only(false), v6Ignored);
  } else if (error == asio::error::address_family_not_supported) {
    socket.open(Udp::v4(), error);
  }
  if (error) return {nullptr, net::errorOf(error)};
  net::setCloseOnExec(socket.native_handle());
  // A default buffer holds only a few hundred short datagrams; a burst of commands beyond
  // that would be lost in the kernel. The kernel caps this at net.core.rmem_max.
  std::error_code ignored;
  socket.set_option(asio::socket_base::receive_buffer_size(kCommandReceiveBuffer), ignored);

  auto listener = std::make_shared<AsioListener>(*this, std::move(socket), port);
  std::lock_guard lock(mutex_);
  prune(listeners_);
  listeners_.push_back(listener);
  return {listener, {}};
}

std::shared_ptr<Connection> AsioNetwork::makeConnection(Endpoint to, ConnectionParameters) {
  auto channel = std::make_shared<AsioChannel>(context_, std::move(to));
  track(channel);
  return channel;
}

void AsioNetwork::track(const std::shared_ptr<AsioConnection>& connection) {
  {
    std::lock_guard lock(mutex_);
    if (!shutDown_) {
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
    if (shutDown_) return;
    shutDown_ = true;
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
  if (thread_.joinable()) thread_.join();
}

}  // namespace trovik
