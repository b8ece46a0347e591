#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace trovik::net {

// The live flows of a listener, one per peer, kept within fixed bounds whatever arrives: at
// most kMaxFlows of them, new peers admitted at a bounded rate, and room made only by a flow
// quiet for longer than kIdleBeforeEviction. Spoofed or churning sources so cost bounded
// memory, descriptors (each client also holds a state channel) and CPU. Not thread-safe.
template <typename Peer, typename Flow, typename Hash = std::hash<Peer>>
class FlowTable {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  static constexpr std::size_t kMaxFlows = 512;
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
    if (recency_.size() >= kMaxFlows) {
      Entry& oldest = recency_.back();
      if (now - oldest.lastActive <= kIdleBeforeEviction) return {};
      routed.evicted = std::move(oldest.flow);
      index_.erase(oldest.peer);
      recency_.pop_back();
    }
    tokens_ -= 1;
    recency_.push_front(Entry{peer, make(), now});
    index_.emplace(peer, recency_.begin());
    routed.flow = recency_.front().flow;
    routed.isNew = true;
    return routed;
  }

  // Forgets `peer` if `flow` is still its flow: its next datagram makes a new one.
  void remove(const Peer& peer, const Flow& flow) {
    auto found = index_.find(peer);
    if (found == index_.end() || !(found->second->flow == flow)) return;
    recency_.erase(found->second);
    index_.erase(found);
  }

  std::vector<Flow> takeAll() {
    std::vector<Flow> flows;
    for (auto& entry : recency_) flows.push_back(std::move(entry.flow));
    recency_.clear();
    index_.clear();
    return flows;
  }

 private:
  struct Entry {
    Peer peer;
    Flow flow;
    Clock::time_point lastActive;
  };
  using Recency = std::list<Entry>;  // most recently active first

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
};

}  // namespace trovik::net
