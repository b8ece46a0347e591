#include "platform/linux/net/asio_listener.hpp"

#include <asio/post.hpp>
#include <cerrno>

#include "platform/linux/burst.hpp"
#include "platform/linux/net/asio_network.hpp"
#include "platform/linux/net/socket_address.hpp"
#include "platform/linux/net/udp_socket.hpp"

namespace trovik {

using Udp = asio::ip::udp;

namespace {

// Batches read per wake-up: enough to drain a burst, few enough that the flows get their
// datagrams before the next wake-up reads on.
constexpr int kBatchesPerWakeUp = 4;

}  // namespace

AsioListener::AsioListener(AsioNetwork& network, Udp::socket socket, std::uint16_t port)
    : network_(network),
      port_(port),
      strand_(asio::make_strand(network.context())),
      socket_(std::move(socket)) {}

AsioListener::~AsioListener() {
  if (advertised_) network_.advertiser().withdraw();
}

void AsioListener::setService(ServiceDescription service) {
  std::lock_guard lock(mutex_);
  service_ = std::move(service);
}

void AsioListener::setNewConnectionHandler(NewConnectionHandler handler) {
  std::lock_guard lock(mutex_);
  if (!closed_) newConnection_ = std::move(handler);
}

void AsioListener::setStateHandler(StateHandler handler) {
  std::lock_guard lock(mutex_);
  if (!closed_) stateHandler_ = std::move(handler);
}

void AsioListener::start(WorkQueue&) {
  std::lock_guard lock(mutex_);
  if (started_ || closed_) return;
  started_ = true;
  if (const int error = net::bindToPort(socket_.native_handle(), port_)) {
    closeLocked();
    reportLocked({ListenerState::Kind::failed, net::osError(error)});
    return;
  }
  std::error_code ignored;  // a bound socket has its address
  const std::uint16_t bound = socket_.local_endpoint(ignored).port();
  waitLocked();
  reportLocked({ListenerState::Kind::ready, std::nullopt});
  // Under the lock, so that a shutdown cannot withdraw before this advertises.
  if (service_) network_.advertiser().advertise(*service_, bound);
  advertised_ = service_.has_value();
}

void AsioListener::waitLocked() {
  socket_.async_wait(Udp::socket::wait_read, [weak = weak_from_this()](const std::error_code& e) {
    if (auto self = weak.lock()) self->onReadable(e);
  });
}

void AsioListener::onReadable(const std::error_code& error) {
  if (error == asio::error::operation_aborted) return;
  Batch batch;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    if (error) {
      batch.failure = net::errorOf(error);
    } else {
      readLocked(batch);
    }
    // Re-armed before the flows get their datagrams, so another thread reads on meanwhile.
    if (!batch.failure) waitLocked();
    countDropsLocked(batch);
  }
  Burst burst;  // the commands' keys and datagrams first
  for (const auto& flow : batch.evicted) flow->end(net::osError(ETIMEDOUT));
  for (auto& handover : batch.handovers) handover.run();
  if (batch.failure) fail(*batch.failure);
}

void AsioListener::readLocked(Batch& batch) {
  const auto& networks = network_.localNetworks();
  const auto table = networks.table();  // one lock for the whole wake-up
  for (int round = 0; round < kBatchesPerWakeUp; ++round) {
    const auto read = reader_.read(socket_.native_handle());
    if (read.error != 0) {
      if (read.error != EAGAIN && read.error != EWOULDBLOCK)
        batch.failure = net::osError(read.error);
      break;
    }
    // Without a handler nobody could take a new flow, so nothing is routed.
    if (newConnection_) {
      for (std::size_t i = 0; i < read.count; ++i) {
        const auto sender = reader_.sender(i);
        if (networks.admits(table.get(), sender.address(), reader_.arrival(i))) {
          routeLocked(sender, reader_.payload(i), batch);
        } else {
          ++batch.foreignDrops;
        }
      }
    }
    if (read.count < net::DatagramBatch::kSlots) break;
  }
  batch.overloadDrops += reader_.takeKernelDrops();
}

void AsioListener::routeLocked(const Udp::endpoint& peer, std::span<const std::uint8_t> payload,
                               Batch& batch) {
  auto routed = flows_.route(
      peer, [&] { return std::make_shared<AsioFlow>(network_, weak_from_this(), peer); });
  if (!routed.flow) {
    ++batch.newPeerDrops;
    return;
  }
  const auto& flow = *routed.flow;
  if (routed.evicted) batch.evicted.push_back(std::move(*routed.evicted));
  if (routed.isNew) {
    network_.track(flow);
    flow->introduce(newConnection_);
  }
  if (flow->offer(payload, batch.handovers) == AsioFlow::Offer::full) ++batch.overloadDrops;
}

void AsioListener::countDropsLocked(const Batch& batch) {
  if (batch.foreignDrops) foreignDrops_.add(batch.foreignDrops);
  if (batch.newPeerDrops) newPeerDrops_.add(batch.newPeerDrops);
  if (batch.overloadDrops) overloadDrops_.add(batch.overloadDrops);
}

void AsioListener::fail(const NetworkError& error) {
  std::vector<std::shared_ptr<AsioFlow>> flows;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    flows = closeLocked();
    reportLocked({ListenerState::Kind::failed, error});
  }
  for (const auto& flow : flows) flow->end(error);
}

std::vector<std::shared_ptr<AsioFlow>> AsioListener::closeLocked() {
  closed_ = true;
  std::error_code ignored;
  socket_.close(ignored);
  if (advertised_) network_.advertiser().withdraw();
  advertised_ = false;
  return flows_.takeAll();
}

void AsioListener::reportLocked(ListenerState state) {
  if (!stateHandler_) return;
  asio::post(strand_, [self = shared_from_this(), handler = stateHandler_, state] {
    if (!self->network_.stopped()) handler(state);
  });
}

std::optional<NetworkError> AsioListener::sendTo(const Udp::endpoint& peer, const Bytes& payload) {
  std::lock_guard lock(mutex_);
  if (closed_) return net::osError(EBADF);
  return net::sendDatagram(socket_.native_handle(), payload, &peer);
}

void AsioListener::forget(const Udp::endpoint& peer, const std::shared_ptr<AsioFlow>& flow) {
  std::lock_guard lock(mutex_);
  flows_.remove(peer, flow);
}

void AsioListener::shutdown() {
  // Released after the lock: they may hold this listener.
  NewConnectionHandler newConnection;
  StateHandler stateHandler;
  std::vector<std::shared_ptr<AsioFlow>> flows;  // the network shuts them down
  std::lock_guard lock(mutex_);
  newConnection.swap(newConnection_);
  stateHandler.swap(stateHandler_);
  if (!closed_) flows = closeLocked();
}

}  // namespace trovik
