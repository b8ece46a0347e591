#include "app/app_delegate.hpp"

namespace trovik {

std::optional<std::string> AppDelegate::hostString(const Endpoint& endpoint) {
  if (endpoint.kind != Endpoint::Kind::hostPort) return std::nullopt;
  return endpoint.host.description;
}

// A client takes only its own channel with it: the other clients of its host, each with a
// channel of its own, still hear their state.
void AppDelegate::removeClient(const std::shared_ptr<Connection>& connection) {
  std::shared_ptr<Connection> channel;
  {
    std::lock_guard lock(mutex_);
    const auto found = byFlow_.find(connection.get());
    if (found == byFlow_.end()) return;
    const auto client = *found->second;
    client->ready = false;
    channel = client->channel;
    clients_.erase(found->second);
    byFlow_.erase(found);
  }
  // Cancelled outside the lock: a backend may report the state change synchronously.
  if (channel) channel->cancel();
}

}  // namespace trovik
