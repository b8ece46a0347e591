#include <time.h>

#include "agent_target.hpp"
#include "commands.hpp"
#include "failure.hpp"
#include "output.hpp"
#include "service/messages.hpp"
#include "session.hpp"

namespace trovik::remote {
namespace {

// A greeting now and then is ignored by an agent that knows us, and registers us again with
// one that restarted, so a long watch follows it.
constexpr std::chrono::seconds kHelloInterval{5};

// Local wall-clock time, to the millisecond: "14:03:59.127".
std::string timeStamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[32];
  const std::size_t length = strftime(text, sizeof text, "%H:%M:%S", &local);
  std::snprintf(text + length, sizeof text - length, ".%03ld", now.tv_nsec / 1'000'000);
  return text;
}

}  // namespace

int runWatch(const std::optional<std::string>& to) {
  const Endpoint agent = findAgent(to);
  InterruptGuard guard;
  Session session(agent);
  bool absent = false;
  for (;;) {
    session.send(messages::kHello);
    const auto nextHello = Clock::now() + kHelloInterval;
    for (bool waiting = true; waiting;) {
      auto event = session.wait(nextHello);
      switch (event.kind) {
        case Session::Event::Kind::State:
          emitLine(stdout, timeStamp() + " " + event.text);
          absent = false;
          break;
        case Session::Event::Kind::Refused:
          if (!absent) {
            emitLine(stderr, "trovik-remote: no agent at " + agent.description() + " (" +
                                 event.text + "); still trying");
          }
          absent = true;
          break;
        case Session::Event::Kind::Interrupted:
          return kExitOk;
        default:
          waiting = false;
      }
    }
  }
}

}  // namespace trovik::remote
