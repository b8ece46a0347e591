#include "app/app_delegate.hpp"

namespace trovik {

void AppDelegate::startListener() {
  auto created =
      platform_.network.makeListener(port, ConnectionParameters{.includePeerToPeer = true});
  if (!created.listener) {
    platform_.log.line("Trovik: Failed to create listener: " + created.error.description);
    return;
  }
  listener_ = created.listener;
  // Read once: a later rename of the computer does not change the advertisement.
  listener_->setService(ServiceDescription{platform_.hostInfo.localizedName().value_or("Mac"),
                                           std::string(messages::kServiceType),
                                           std::string(messages::kServiceDomain)});
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  listener_->setNewConnectionHandler([weak, platform = platform_](std::shared_ptr<Connection> c) {
    handleNewConnection(weak, platform, c);
  });
  listener_->setStateHandler(
      [&log = platform_.log](const ListenerState& state) { listenerDidChangeState(log, state); });
  listener_->start(platform_.workQueue);
}

void AppDelegate::listenerDidChangeState(Log& log, const ListenerState& state) {
  if (state.kind == ListenerState::Kind::ready) {
    log.line("Trovik: Listening and advertising as Bonjour service");
  } else if (state.kind == ListenerState::Kind::failed) {
    log.line("Trovik: Listener failed: " +
             (state.error ? state.error->description : std::string()));
  }
}

}  // namespace trovik
