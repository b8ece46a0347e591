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
    const bool listed = std::erase(clientConnections_, connection) > 0;
    if (auto own = channelOfClient_.extract(connection.get())) {
      cancelled.push_back(std::move(own.mapped()));
    }
    if (host) {
      auto live = liveClientsByHost_.find(*host);
      if (listed && live != liveClientsByHost_.end() && --live->second == 0) {
        liveClientsByHost_.erase(live);
      }
      // The host's other channels serve its other live clients; they go only with the last.
      auto channels = channelsByHost_.find(*host);
      if (channels != channelsByHost_.end()) {
        if (!liveClientsByHost_.contains(*host)) {
          for (auto& channel : channels->second) {
            if (std::find(cancelled.begin(), cancelled.end(), channel) == cancelled.end()) {
              cancelled.push_back(std::move(channel));
            }
          }
          channels->second.clear();
        } else if (!cancelled.empty()) {
          std::erase(channels->second, cancelled.front());
        }
        if (channels->second.empty()) channelsByHost_.erase(channels);
      }
    }
    // Every other channel's client is already gone, and took its entry in channelOfClient_.
    for (const auto& channel : cancelled) std::erase(stateConnections_, channel);
  }
  // Cancel outside the lock: a backend may report the state change synchronously.
  for (const auto& channel : cancelled) channel->cancel();
}

}  // namespace trovik
