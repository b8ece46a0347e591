#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/net/service_advertiser.hpp"
#include "platform/network.hpp"

namespace trovik {

class AsioConnection;
class AsioListener;

// UDP on Asio, with one I/O thread of its own that reads the sockets. Every callback goes to
// the WorkQueue its object was started on; a datagram is copied once, out of the read
// buffer, and reaches its receive completion with one post to that queue.
//
// Listeners, flows and channels must not outlive this object; the advertiser must outlive it.
class AsioNetwork final : public Network {
 public:
  // Receive buffer asked for on the command socket, in bytes.
  static constexpr int kCommandReceiveBuffer = 4 << 20;

  explicit AsioNetwork(ServiceAdvertiser& advertiser);
  ~AsioNetwork() override;  // shuts down

  ListenerResult makeListener(std::uint16_t port, ConnectionParameters parameters) override;
  std::shared_ptr<Connection> makeConnection(Endpoint to, ConnectionParameters parameters) override;

  // Closes every socket, withdraws the advertisement, drops every pending callback (they
  // hold their connections) and ends the I/O thread. Objects made later are closed from the
  // start. Idempotent; call from any thread but the I/O thread.
  void shutdown();

  // For the listener.
  ServiceAdvertiser& advertiser() { return advertiser_; }
  void track(const std::shared_ptr<AsioConnection>& connection);

 private:
  template <typename T>
  static void prune(std::vector<std::weak_ptr<T>>& objects);

  ServiceAdvertiser& advertiser_;
  asio::io_context context_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::mutex mutex_;
  bool shutDown_ = false;
  std::vector<std::weak_ptr<AsioConnection>> connections_;
  std::vector<std::weak_ptr<AsioListener>> listeners_;
  std::thread thread_;  // last: starts once everything it uses exists
};

}  // namespace trovik
