#include <chrono>

#include "app/app_delegate.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;

// How long a tablet's request waits for the user, how long one that was not allowed is then
// ignored, and how many requests the user sees within that time at most.
constexpr auto kRequestLifetime = 30s;
constexpr auto kIgnoredFor = 10min;
constexpr std::size_t kRequestsPerWhile = 3;

}  // namespace

bool AppDelegate::admits(const Host& host) {
  if (!askBeforeNewTablets_ || platform_.tablets.isTrusted(host)) return true;
  // The datagram that asked is dropped; the answer decides about the next one.
  platform_.runLoop.post([weak = weak_from_this(), host] {
    if (auto self = weak.lock()) self->askAbout(host);
  });
  return false;
}

void AppDelegate::askAbout(const Host& host) {
  // One question at a time, a few a while, none again soon about a host that was not allowed.
  if (!askBeforeNewTablets_ || request_ || ignored_.contains(host.description) ||
      recentPrompts_.size() >= kRequestsPerWhile || platform_.tablets.isTrusted(host)) {
    return;
  }
  const std::weak_ptr<AppDelegate> weak = weak_from_this();
  recentPrompts_.push_back(platform_.runLoop.scheduleOnce(kIgnoredFor, [weak] {
    if (auto self = weak.lock()) self->recentPrompts_.pop_front();
  }));
  const unsigned id = ++requests_;
  const bool asked = platform_.tablets.ask(host.description, [weak, id](bool allowed) {
    auto self = weak.lock();
    if (self && self->request_ && self->request_->id == id) self->finishRequest(allowed);
  });
  // Without a notification to answer, the menu offers the tablet while the request lasts.
  if (!asked && allowMenuItem_) {
    allowMenuItem_->setTitle("Allow Tablet at " + host.description);
    allowMenuItem_->setHidden(false);
  }
  auto expiry = platform_.runLoop.scheduleOnce(kRequestLifetime, [weak, id] {
    auto self = weak.lock();
    if (!self || !self->request_ || self->request_->id != id) return;
    if (!self->request_->byMenu) self->platform_.tablets.withdraw();
    self->finishRequest(false);
  });
  request_ = Request{host, id, !asked, std::move(expiry)};
}

void AppDelegate::finishRequest(bool allowed) {
  const Request request = *std::exchange(request_, std::nullopt);
  request.expiry->invalidate();
  if (request.byMenu && allowMenuItem_) allowMenuItem_->setHidden(true);
  const std::string& address = request.host.description;
  if (allowed) {
    platform_.tablets.trust(request.host);
    return;
  }
  ignored_[address] =
      platform_.runLoop.scheduleOnce(kIgnoredFor, [weak = weak_from_this(), address] {
        if (auto self = weak.lock()) self->ignored_.erase(address);
      });
}

void AppDelegate::allowWaitingTablet() {
  if (request_ && request_->byMenu) finishRequest(true);
}

void AppDelegate::toggleAskBeforeNewTablets() {
  askBeforeNewTablets_ = !askBeforeNewTablets_;
  platform_.userDefaults.setBool(askBeforeNewTablets_, std::string(askBeforeNewTabletsKey));
  if (askMenuItem_) askMenuItem_->setState(askBeforeNewTablets_ ? 1 : 0);
  removeUntrustedClients();
}

void AppDelegate::forgetTrustedTablets() {
  platform_.tablets.forgetAll();
  removeUntrustedClients();
}

void AppDelegate::removeUntrustedClients() {
  if (!askBeforeNewTablets_) return;
  std::vector<std::shared_ptr<Client>> clients;
  {
    std::lock_guard lock(mutex_);
    clients.assign(clients_.begin(), clients_.end());
  }
  // Asked outside the lock: the answer may take a look at the system's tables.
  std::erase_if(clients, [this](const auto& client) {
    return !client->host || platform_.tablets.isTrusted(*client->host);
  });
  {
    std::lock_guard lock(mutex_);
    for (const auto& client : clients) unlistLocked(*client->flow);
  }
  for (const auto& client : clients) {
    if (client->channel) client->channel->cancel();
    client->flow->cancel();  // the network forgets the peer: its next datagram asks again
  }
}

}  // namespace trovik
