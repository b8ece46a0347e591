#include "app/app_delegate.hpp"

namespace trovik {

void AppDelegate::handleNewConnection(const std::weak_ptr<AppDelegate>& weak,
                                      const Platform& platform,
                                      const std::shared_ptr<Connection>& connection) {
  connection->start(platform.workQueue);
  const Endpoint endpoint = connection->endpoint();
  const auto host = hostString(endpoint);
  std::shared_ptr<Connection> channel;
  if (auto self = weak.lock()) {
    // A host the user has not let in gets nothing: no client, no word, no reply.
    if (host && !self->admits(endpoint.host)) {
      connection->cancel();
      return;
    }
    channel = self->registerClient(connection, host ? &endpoint.host : nullptr);
  }

  if (host) {
    platform.log.line("Trovik: New client from " + *host + ", creating state channel on port " +
                      std::to_string(statePort));
  } else {
    platform.log.line("Trovik: New client connected but could not extract host from " +
                      endpoint.description());
  }
  if (channel) channel->start(platform.workQueue);
  // Armed last: only a failed receive removes a client, so its channel is listed by then
  // and leaves with it.
  if (!weak.expired()) receiveNextMessage(weak, platform, connection);
}

std::shared_ptr<Connection> AppDelegate::registerClient(const std::shared_ptr<Connection>& flow,
                                                        const Host* host) {
  auto client = std::make_shared<Client>();
  client->flow = flow;
  if (host) {
    client->host = *host;
    client->channel = openStateChannel(*host, client);
  }
  // Listed before its channel starts: a client that heard its opening sequence and sends at
  // once must not have its key:fired miss a channel that is ready but not yet listed.
  std::lock_guard lock(mutex_);
  byFlow_[flow.get()] = clients_.insert(clients_.end(), client);
  return client->channel;
}

std::shared_ptr<Connection> AppDelegate::openStateChannel(const Host& host,
                                                          const std::shared_ptr<Client>& client) {
  auto channel = platform_.network.makeConnection(Endpoint::hostPort(host, statePort),
                                                  ConnectionParameters{.includePeerToPeer = true});
  // The client owns the channel, which owns its handler: both are held weakly there.
  channel->setStateHandler([weak = weak_from_this(), platform = platform_,
                            weakClient = std::weak_ptr<Client>(client),
                            hostText = host.description](const ConnectionState& state) {
    stateChannelDidChangeState(weak, platform, weakClient, hostText, state);
  });
  return channel;
}

void AppDelegate::stateChannelDidChangeState(const std::weak_ptr<AppDelegate>& weak,
                                             const Platform& platform,
                                             const std::weak_ptr<Client>& weakClient,
                                             const std::string& hostText,
                                             const ConnectionState& state) {
  auto self = weak.lock();
  const auto client = weakClient.lock();
  if (self && client && !state.isReady()) {
    // Before the line: a tablet told of it hears no broadcast on this channel any more.
    std::lock_guard lock(self->mutex_);
    client->ready = false;
  }
  platform.log.line("Trovik: State connection to " + hostText + " → " + state.description());
  if (!self || !client || !state.isReady()) return;

  // The opening is the state of the moment the channel counts as ready; every change after
  // that moment is broadcast to it, and waits for the opening to leave first.
  std::lock_guard sending(client->sending);
  std::array<std::string, 2> pair;
  std::string_view access;
  {
    std::lock_guard lock(self->mutex_);
    client->ready = true;
    pair = editor::editorStateMessagesFor(self->activeEditorID_);
    // Asked now, not taken from the monitor's last answer.
    access = messages::accessibilityMessage(platform.trust.isProcessTrusted());
  }
  self.reset();
  // Outcomes are ignored: a client that misses one learns later changes from broadcasts.
  for (std::string_view text : {std::string_view(pair[0]), std::string_view(pair[1]), access}) {
    client->channel->send(std::make_shared<const Bytes>(text.begin(), text.end()),
                          [](std::optional<NetworkError>) {});
  }
}

}  // namespace trovik
