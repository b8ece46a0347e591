#pragma once

// What a tablet sees, as one table: each row a short script of datagrams from tablets and of
// desktop events, each step with what it leads to. The same rows run against the agent's
// core on fakes and against the built program in a network namespace of its own.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace trovik::behaviour {

struct Tablet {
  std::string address;  // where its commands come from, and where it hears its state
  std::uint16_t port = 0;
  bool hearsState = true;  // false: nothing listens on its port 9877
};

struct Press {
  std::uint16_t key;  // macOS virtual key code
  bool shift;
  bool operator==(const Press&) const = default;
};

struct Heard {
  std::string address;  // the host that hears it on port 9877
  std::string datagram;
};

struct Step {
  enum class Kind {
    send,         // `text` from `tablet`
    accessLost,   // the keyboard can no longer reach a device
    accessBack,   // and then it can again
    activate,     // the application `text` comes to the front (`windowClass` on X11)
    clientFails,  // receiving from `tablet` fails, with the datagram `text` if any (fakes only)
    answer,       // the user answers the open question: `text` is "allow" or "deny"
    screenLock,   // the user's screen locks
    screenUnlock,
    wait,         // `seconds` pass (fakes only)
  };
  Kind kind = Kind::send;
  Tablet tablet{};
  std::string text{};
  // activate on X11: the window's WM_CLASS class, and its _GTK_APPLICATION_ID when set.
  std::string windowClass{};
  std::string applicationID{};
  bool asks = false;  // send: the datagram makes the agent ask the user about its tablet
  int seconds = 0;

  // What the step leads to, each in order.
  std::vector<std::string> log{};
  std::vector<Heard> heard{};
  std::vector<Press> presses{};
};

struct Row {
  std::string id;  // names the row's tests
  std::string name;
  std::vector<Step> steps{};
  bool fakesOnly = false;  // needs an event the real program cannot be made to produce
};

// The whole table.
const std::vector<Row>& rows();
// What the agent logs as it launches, keys granted and no editor in front; the last two
// lines come from two threads, in either order.
const std::vector<std::string>& launchLines();

// Everything the agent did for a row, in order: what a runner records and compares.
struct Transcript {
  std::vector<std::string> log;
  std::vector<Heard> heard;  // kept in order per host; hosts compared one by one
  std::vector<Press> presses;
};
Transcript expected(const Row& row);
// Each host heard the same datagrams in the same order; the order between hosts is free.
void expectSameHeard(const std::vector<Heard>& got, const std::vector<Heard>& want);

inline void PrintTo(const Press& p, std::ostream* os) {
  *os << "{key " << p.key << (p.shift ? " with Shift}" : "}");
}
inline void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

}  // namespace trovik::behaviour
