#include "app/app_delegate.hpp"

namespace trovik {

void AppDelegate::broadcastState(std::string_view message) {
  std::vector<std::shared_ptr<Client>> ready;
  std::size_t channels = 0;
  {
    std::lock_guard lock(mutex_);
    for (const auto& client : clients_) {
      if (!client->channel) continue;
      ++channels;
      if (client->ready) ready.push_back(client);  // the others miss this message
    }
  }
  platform_.log.line("Trovik: Broadcasting '" + std::string(message) + "' to " +
                     std::to_string(channels) + " state clients");
  // One payload, shared by every send of this broadcast.
  auto payload = std::make_shared<const Bytes>(message.begin(), message.end());
  Log& log = platform_.log;
  for (const auto& client : ready) {
    std::lock_guard sending(client->sending);
    client->channel->send(payload, [&log](std::optional<NetworkError> error) {
      if (error) log.line("Trovik: broadcast error — " + error->description);
    });
  }
}

}  // namespace trovik
