#include "agent_target.hpp"
#include "commands.hpp"
#include "failure.hpp"
#include "output.hpp"
#include "service/messages.hpp"
#include "session.hpp"

namespace trovik::remote {
namespace {

bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

void requireKeyCommand(const std::string& command) {
  std::string_view text = command;
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  if (messages::isIgnoredCommand(text)) {
    throw Failure(kExitUsage, "\"" + command + "\" is no key command: the agent ignores it");
  }
}

int runSend(const SendOptions& options) {
  for (const auto& command : options.commands) requireKeyCommand(command);
  Session session(findAgent(options.to));
  const auto denied = [&] {
    return Failure(kExitDenied, "the agent at " + session.agent().description() +
                                    " may not press keys (" + std::string(messages::kAxDenied) +
                                    "); grant it keyboard access");
  };
  if (session.open(options.timeout, options.verbose) == messages::kAxDenied) throw denied();

  for (const auto& command : options.commands) {
    if (auto error = session.send(command)) {
      throw Failure(kExitTimeout,
                    "cannot send to " + session.agent().description() + ": " + *error);
    }
    const auto deadline = Clock::now() + options.timeout;
    for (bool confirmed = false; !confirmed;) {
      const auto event = session.wait(deadline);
      switch (event.kind) {
        case Session::Event::Kind::State:
          if (options.verbose) emitLine(stderr, event.text);
          if (event.text == messages::kAxDenied) throw denied();
          confirmed = event.text == messages::kKeyFired;
          break;
        case Session::Event::Kind::Refused:
          throw Failure(kExitTimeout, "the agent at " + session.agent().description() +
                                          " went away: " + event.text);
        default:
          throw Failure(kExitTimeout, "no " + std::string(messages::kKeyFired) + " for \"" +
                                          command + "\" within " + secondsText(options.timeout));
      }
    }
  }
  return kExitOk;
}

}  // namespace trovik::remote
