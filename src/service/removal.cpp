#include "app/app_delegate.hpp"

namespace trovik {

std::optional<std::string> AppDelegate::hostString(const Endpoint& endpoint) {
  if (endpoint.kind != Endpoint::Kind::hostPort) return std::nullopt;
  return endpoint.host.description;
}

// A client takes only its own channel with it: the other clients of its host, each with a
// channel of its own, still hear their state.
void AppDelegate::removeClient(const std::shared_ptr<Connection>& connection) {
  std::shared_ptr<Client> client;
  {
    std::lock_guard lock(mutex_);
    client = unlistLocked(*connection);
  }
  // Cancelled outside the lock: a backend may report the state change synchronously.
  if (client && client->channel) client->channel->cancel();
}

std::shared_ptr<AppDelegate::Client> AppDelegate::unlistLocked(const Connection& flow) {
  const auto found = byFlow_.find(&flow);
  if (found == byFlow_.end()) return nullptr;
  auto client = *found->second;
  client->ready = false;  // a broadcast that took it already sends, later ones do not
  clients_.erase(found->second);
  byFlow_.erase(found);
  return client;
}

}  // namespace trovik
