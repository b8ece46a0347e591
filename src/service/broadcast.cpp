#include "app/app_delegate.hpp"

namespace trovik {

void AppDelegate::broadcastState(std::string_view message) {
  const ConnectionList snapshot = stateConnections();
  platform_.log.line("Trovik: Broadcasting '" + std::string(message) + "' to " +
                     std::to_string(snapshot.size()) + " state clients");
  // One payload, shared by every send of this broadcast.
  auto payload = std::make_shared<const Bytes>(message.begin(), message.end());
  Log& log = platform_.log;
  for (const auto& channel : snapshot) {
    if (!channel->state().isReady()) continue;  // a channel not ready misses this message
    channel->send(payload, [&log](std::optional<NetworkError> error) {
      if (error) log.line("Trovik: broadcast error — " + error->description);
    });
  }
}

}  // namespace trovik
