#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <iterator>
#include <list>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace trovik::net {

// Each peer its own host: no bound per host applies.
struct PeerIsHost {
  template <typename Peer>
  const Peer& operator()(const Peer& peer) const {
    return peer;
  }
};

// The live flows of a listener, one per peer, kept within fixed bounds whatever arrives: at
// most kMaxFlows of them, new peers admitted at a bounded rate, and room made only by a flow
// quiet for longer than kIdleBeforeEviction. One host (HostOf a peer) has at most
// kMaxFlowsPerHost: its newest takes the place of its quietest, so that one command is not
// echoed to one host hundreds of times. Spoofed or churning sources so cost bounded memory,
// descriptors (each client also holds a state channel), CPU and reflected traffic. Not
// thread-safe.
template <typename Peer, typename Flow, typename Hash = std::hash<Peer>,
          typename HostOf = PeerIsHost>
class FlowTable {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  static constexpr std::size_t kMaxFlows = 512;
  static constexpr std::size_t kMaxFlowsPerHost = 8;
  // At most kNewPeerBurst + 60 * kNewPeersPerSecond = 488 < kMaxFlows peers can be admitted
  // within any kIdleBeforeEviction, so after a flood a new tablet finds a free or evictable
  // slot as soon as a token is back.
  static constexpr double kNewPeersPerSecond = 8;
  static constexpr double kNewPeerBurst = 8;
  static constexpr std::chrono::seconds kIdleBeforeEviction{60};

  explicit FlowTable(Now now = &Clock::now) : now_(std::move(now)), refilled_(now_()) {}

  struct Routed {
    std::optional<Flow> flow;     // where the datagram goes; none when it is dropped
    bool isNew = false;           // made for this datagram by route()'s `make`
    std::optional<Flow> evicted;  // gave up its slot for it; the caller ends it
  };

  // The flow of `peer`, now marked active; or, for a new peer that the rate and the bound
  // admit, a new flow from `make()`.
  template <typename Make>
  Routed route(const Peer& peer, Make&& make) {
    const auto now = now_();
    if (auto found = index_.find(peer); found != index_.end()) {
      found->second->lastActive = now;
      recency_.splice(recency_.begin(), recency_, found->second);
      return {found->second->flow, false, std::nullopt};
    }
    refill(now);
    if (tokens_ < 1) return {};
    Routed routed;
    const Host host = HostOf()(peer);
    if (const auto count = perHost_.find(host);
        count != perHost_.end() && count->second >= kMaxFlowsPerHost) {
      const auto quietest = std::find_if(recency_.rbegin(), recency_.rend(),
                                         [&](const Entry& e) { return HostOf()(e.peer) == host; });
      routed.evicted = std::move(quietest->flow);
      erase(std::prev(quietest.base()));
    } else if (recency_.size() >= kMaxFlows) {
      const auto oldest = std::prev(recency_.end());
      if (now - oldest->lastActive <= kIdleBeforeEviction) return {};
      routed.evicted = std::move(oldest->flow);
      erase(oldest);
    }
    tokens_ -= 1;
    recency_.push_front(Entry{peer, make(), now});
    index_.emplace(peer, recency_.begin());
    ++perHost_[host];
    routed.flow = recency_.front().flow;
    routed.isNew = true;
    return routed;
  }

  // Forgets `peer` if `flow` is still its flow: its next datagram makes a new one.
  void remove(const Peer& peer, const Flow& flow) {
    auto found = index_.find(peer);
    if (found == index_.end() || !(found->second->flow == flow)) return;
    erase(found->second);
  }

  std::vector<Flow> takeAll() {
    std::vector<Flow> flows;
    for (auto& entry : recency_) flows.push_back(std::move(entry.flow));
    recency_.clear();
    index_.clear();
    perHost_.clear();
    return flows;
  }

 private:
  struct Entry {
    Peer peer;
    Flow flow;
    Clock::time_point lastActive;
  };
  using Recency = std::list<Entry>;  // most recently active first
  using Host = std::decay_t<std::invoke_result_t<HostOf, const Peer&>>;

  void erase(typename Recency::iterator entry) {
    const auto count = perHost_.find(HostOf()(entry->peer));
    if (--count->second == 0) perHost_.erase(count);
    index_.erase(entry->peer);
    recency_.erase(entry);
  }

  void refill(Clock::time_point now) {
    const double elapsed = std::chrono::duration<double>(now - refilled_).count();
    tokens_ = std::min(kNewPeerBurst, tokens_ + elapsed * kNewPeersPerSecond);
    refilled_ = now;
  }

  Now now_;
  double tokens_ = kNewPeerBurst;
  Clock::time_point refilled_;
  Recency recency_;
  std::unordered_map<Peer, typename Recency::iterator, Hash> index_;
  std::unordered_map<Host, std::size_t> perHost_;  // flows of each host that has any
};

}  // namespace trovik::net
