#include <algorithm>

#include "app/app_delegate.hpp"

namespace trovik {

std::optional<std::string> AppDelegate::hostString(const Endpoint& endpoint) {
  if (endpoint.kind != Endpoint::Kind::hostPort) return std::nullopt;
  return endpoint.host.description;
}

void AppDelegate::removeClient(const std::shared_ptr<Connection>& connection) {
  const std::optional<std::string> host = hostString(connection->endpoint());
  ConnectionList cancelled;
  {
    std::lock_guard lock(mutex_);
    std::erase(clientConnections_, connection);
    if (host) {
      auto removed = std::stable_partition(
          stateConnections_.begin(), stateConnections_.end(),
          [&](const auto& channel) { return hostString(channel->endpoint()) != host; });
      cancelled.assign(removed, stateConnections_.end());
      stateConnections_.erase(removed, stateConnections_.end());
    }
  }
  // Cancel outside the lock: a backend may report the state change synchronously.
  for (const auto& channel : cancelled) channel->cancel();
}

}  // namespace trovik
