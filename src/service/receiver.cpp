#include "app/app_delegate.hpp"
#include "app/log_escape.hpp"

namespace trovik {

void AppDelegate::receiveNextMessage(const std::weak_ptr<AppDelegate>& weak,
                                     const Platform& platform,
                                     const std::shared_ptr<Connection>& connection) {
  // The completion owns the connection until it runs; the delegate only weakly.
  connection->receiveMessage([weak, platform, connection](std::optional<Bytes> content,
                                                          std::optional<NetworkError> error) {
    handleReceivedMessage(weak, platform, connection, content, error);
  });
}

void AppDelegate::handleReceivedMessage(const std::weak_ptr<AppDelegate>& weak,
                                        const Platform& platform,
                                        const std::shared_ptr<Connection>& connection,
                                        const std::optional<Bytes>& content,
                                        const std::optional<NetworkError>& error) {
  // A datagram that came with an error is still handled before the client goes.
  if (content) {
    const std::string_view bytes(reinterpret_cast<const char*>(content->data()), content->size());
    if (auto raw = platform.text.decodeUtf8(bytes)) {
      const std::string command = platform.text.trimWhitespaceAndNewlines(*raw);
      if (!messages::isIgnoredCommand(command)) {
        platform.log.line("Trovik: Received '" + escapeForLog(command) + "'");
        if (auto self = weak.lock()) {
          // Asked once: a command is typed and confirmed, or neither.
          const bool trusted = platform.trust.isProcessTrusted();
          if (self->handleKeySpec(command, trusted) && trusted) {
            self->broadcastState(messages::kKeyFired);
          }
        }
      }
    }
  }
  if (error) {
    if (auto self = weak.lock()) self->removeClient(connection);
    return;
  }
  if (!weak.expired()) receiveNextMessage(weak, platform, connection);
}

}  // namespace trovik
