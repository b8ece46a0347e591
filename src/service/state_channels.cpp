#include "app/app_delegate.hpp"

namespace trovik {

void AppDelegate::handleNewConnection(const std::weak_ptr<AppDelegate>& weak,
                                      const Platform& platform,
                                      const std::shared_ptr<Connection>& connection) {
  connection->start(platform.workQueue);
  const Endpoint endpoint = connection->endpoint();
  const auto host = hostString(endpoint);
  if (auto self = weak.lock()) self->registerClient(connection, host);

  if (host) {
    platform.log.line("Trovik: New client from " + *host + ", creating state channel on port " +
                      std::to_string(statePort));
    if (auto self = weak.lock()) self->openStateChannel(endpoint.host, connection.get());
  } else {
    platform.log.line("Trovik: New client connected but could not extract host from " +
                      endpoint.description());
  }
  // Armed last: only a failed receive removes a client, so its channel is listed by then
  // and leaves with it.
  if (!weak.expired()) receiveNextMessage(weak, platform, connection);
}

void AppDelegate::registerClient(const std::shared_ptr<Connection>& client,
                                 const std::optional<std::string>& host) {
  std::lock_guard lock(mutex_);
  clientConnections_.push_back(client);
  if (host) ++liveClientsByHost_[*host];
}

void AppDelegate::openStateChannel(const Host& host, const Connection* client) {
  auto channel = platform_.network.makeConnection(Endpoint::hostPort(host, statePort),
                                                  ConnectionParameters{.includePeerToPeer = true});
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  std::weak_ptr<Connection> weakChannel = channel;  // the channel owns its handler
  channel->setStateHandler([weak, platform = platform_, weakChannel,
                            hostText = host.description](const ConnectionState& state) {
    stateChannelDidChangeState(weak, platform, weakChannel, hostText, state);
  });
  {
    // Listed before it starts: a client that heard its opening sequence and sends at once
    // must not have its key:fired miss a channel that is ready but not yet listed.
    std::lock_guard lock(mutex_);
    stateConnections_.push_back(channel);
    channelsByHost_[host.description].push_back(channel);
    if (client) channelOfClient_[client] = channel;
  }
  channel->start(platform_.workQueue);
}

void AppDelegate::stateChannelDidChangeState(const std::weak_ptr<AppDelegate>& weak,
                                             const Platform& platform,
                                             const std::weak_ptr<Connection>& weakChannel,
                                             const std::string& hostText,
                                             const ConnectionState& state) {
  platform.log.line("Trovik: State connection to " + hostText + " → " + state.description());
  if (!state.isReady()) return;
  auto channel = weakChannel.lock();
  if (!channel) return;

  // Outcomes are ignored: a client that misses one learns later changes from broadcasts.
  const auto send = [&](std::string_view text) {
    channel->send(std::make_shared<const Bytes>(text.begin(), text.end()),
                  [](std::optional<NetworkError>) {});
  };
  if (auto self = weak.lock()) {
    const auto pair = self->editorStateMessages();
    self.reset();
    for (const auto& text : pair) send(text);
  }
  if (weak.expired()) return;
  // Asked now, not taken from the monitor's last answer.
  send(messages::accessibilityMessage(platform.trust.isProcessTrusted()));
}

}  // namespace trovik
