#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trovik::net {

// Counts the datagrams a listener drops and decides when to tell the user: about a second
// after the first drop of a quiet spell, then at most once a minute, and never while nothing
// is dropped. Not thread-safe.
class DropReport {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Cause {
    newPeer,   // flood protection: beyond the admission rate, or every slot taken
    overload,  // a client sending faster than its commands are handled
  };
  static constexpr std::chrono::seconds kFirstDelay{1};
  static constexpr std::chrono::seconds kInterval{60};

  // Counts `count` drops seen at `now`. When a report must now be scheduled: in how long.
  std::optional<Clock::duration> count(Cause cause, std::uint64_t count, Clock::time_point now);
  // The lines for what was counted since the last report, which was made at `now`.
  std::vector<std::string> report(Clock::time_point now);

 private:
  std::uint64_t newPeers_ = 0;
  std::uint64_t overload_ = 0;
  bool scheduled_ = false;
  std::optional<Clock::time_point> lastReport_;
};

}  // namespace trovik::net
