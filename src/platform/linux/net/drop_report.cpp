#include "platform/linux/net/drop_report.hpp"

#include <algorithm>

namespace trovik::net {

std::optional<DropReport::Clock::duration> DropReport::count(Cause cause, std::uint64_t count,
                                                             Clock::time_point now) {
  if (count == 0) return std::nullopt;
  (cause == Cause::newPeer ? newPeers_ : overload_) += count;
  if (scheduled_) return std::nullopt;
  scheduled_ = true;
  auto due = now + kFirstDelay;
  if (lastReport_) due = std::max(due, *lastReport_ + kInterval);
  return due - now;
}

std::vector<std::string> DropReport::report(Clock::time_point now) {
  std::vector<std::string> lines;
  if (newPeers_ > 0) {
    lines.push_back("dropped " + std::to_string(newPeers_) +
                    " datagrams from new peers (flood protection)");
  }
  if (overload_ > 0) {
    lines.push_back("dropped " + std::to_string(overload_) +
                    " datagrams from clients sending faster than their commands are handled");
  }
  newPeers_ = overload_ = 0;
  scheduled_ = false;
  lastReport_ = now;
  return lines;
}

}  // namespace trovik::net
