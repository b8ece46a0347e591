#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "endpoint.hpp"

namespace trovik::remote {

using Clock = std::chrono::steady_clock;

// Picks one state channel out of the several that may reach this host: the agent opens one
// per client and keeps those of earlier clients (an earlier run of this program, say), each
// repeating every broadcast. Ours is the one that sends a whole opening sequence; until one
// has, every datagram passes.
class ChannelFilter {
 public:
  // The messages to deliver now, in order, for a datagram from the agent's `port`.
  std::vector<std::string> take(std::uint16_t port, std::string text);
  bool chosen() const { return chosen_.has_value(); }

 private:
  std::optional<std::uint16_t> chosen_;
  std::map<std::uint16_t, std::vector<std::string>> openings_;  // per port, as far as it got
};

// The tablet's side of one conversation: the state port on this host, and one command socket
// whose fixed source port makes this program one client of the agent.
class Session {
 public:
  // Throws Failure when the state port is taken: it is never shared or stolen.
  explicit Session(const Endpoint& agent);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const Endpoint& agent() const { return agent_; }
  // Sends one datagram; the OS error text when it could not leave.
  std::optional<std::string> send(std::string_view text);

  struct Event {
    enum class Kind { State, Input, Timeout, Refused, Interrupted } kind;
    std::string text;  // the state message, or for Refused the OS error
  };
  // Waits for the next state message of our channel until `deadline`. When `inputFd` is
  // given, its becoming readable ends the wait too. Interrupted only while an
  // InterruptGuard is in place.
  Event wait(Clock::time_point deadline, int inputFd = -1);

  // Registers with "hello" and waits for the opening sequence; the permission it carried.
  // Throws Failure on timeout or when the agent cannot be reached.
  std::string open(std::chrono::milliseconds timeout, bool verbose);

 private:
  void readStates();

  Endpoint agent_;
  int stateFd_ = -1;
  int commandFd_ = -1;
  ChannelFilter filter_;
  std::deque<std::string> arrived_;
};

// Lets SIGINT, SIGTERM and SIGHUP end Session::wait (as Interrupted) instead of the program,
// so that what the program changed can be put back.
class InterruptGuard {
 public:
  static bool interrupted();

  InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  ~InterruptGuard();
};

// Whether `text` is one of the permission messages.
bool isPermission(std::string_view text);

}  // namespace trovik::remote
