// trovik-remote: the tablet's side of the protocol, from a terminal or a script.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>

#include "commands.hpp"
#include "failure.hpp"
#include "output.hpp"

namespace {

using namespace trovik::remote;

// What the command line chose; the subcommand's callback sets `run`.
struct Choices {
  double listSeconds = 5;
  SendOptions send;
  double sendSeconds = 1;
  std::optional<std::string> watchTo;
  std::optional<std::string> keysTo;
  PingOptions ping;
  double pingSeconds = 1;
  std::function<int()> run;
};

std::chrono::milliseconds toMilliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000 + 0.5));
}

CLI::Option* addTimeout(CLI::App* command, double& seconds, const std::string& what) {
  return command->add_option("--timeout", seconds, what)
      ->type_name("S")
      ->capture_default_str()
      ->check(CLI::Range(0.001, 86400.0));
}

CLI::Option* addTo(CLI::App* command, std::optional<std::string>& to) {
  return command
      ->add_option("--to", to,
                   "The agent: its DNS-SD service name, a host name or an address, each with an "
                   "optional :PORT. Without it, the only agent on the network.")
      ->type_name("AGENT");
}

void defineList(CLI::App& app, Choices& c) {
  auto* list = app.add_subcommand("list",
                                  "List the agents that DNS-SD finds: name, host, "
                                  "address and port, tab-separated, one per line.");
  addTimeout(list, c.listSeconds, "How long to browse at most");
  list->callback([&c] { c.run = [&c] { return runList(toMilliseconds(c.listSeconds)); }; });
}

void defineSend(CLI::App& app, Choices& c) {
  auto* send = app.add_subcommand(
      "send", "Send key commands, one datagram each, and wait for the agent to confirm each.");
  addTo(send, c.send.to);
  addTimeout(send, c.sendSeconds, "How long to wait for each answer");
  send->add_flag("-v,--verbose", c.send.verbose, "Print the agent's state messages on stderr");
  send->add_option("COMMAND", c.send.commands, "Commands such as SPACE, LEFT, shift+a")->required();
  send->callback([&c] {
    c.send.timeout = toMilliseconds(c.sendSeconds);
    c.run = [&c] { return runSend(c.send); };
  });
}

void defineWatchAndKeys(CLI::App& app, Choices& c) {
  auto* watch = app.add_subcommand("watch",
                                   "Print every state message as it arrives, with a "
                                   "time stamp, until interrupted.");
  addTo(watch, c.watchTo);
  watch->callback([&c] { c.run = [&c] { return runWatch(c.watchTo); }; });

  auto* keys = app.add_subcommand("keys",
                                  "Drive the agent from this terminal's keyboard; "
                                  "Ctrl+C or Ctrl+D leaves.");
  addTo(keys, c.keysTo);
  keys->callback([&c] { c.run = [&c] { return runKeys(c.keysTo); }; });
}

void definePing(CLI::App& app, Choices& c) {
  auto* ping = app.add_subcommand(
      "ping", "Send commands one at a time and report their round trips in microseconds.");
  auto* to = addTo(ping, c.ping.to);
  ping->add_option("--count", c.ping.count, "How many commands")
      ->capture_default_str()
      ->check(CLI::Range(1, 10'000'000));
  ping->add_option("--command", c.ping.command,
                   "The command to send; the default names no key, so nothing is typed")
      ->type_name("TEXT")
      ->capture_default_str();
  addTimeout(ping, c.pingSeconds, "How long to wait for each answer");
  ping->add_flag("--json", c.ping.json, "Print the figures as one JSON object");
  ping->add_option("--echo", c.ping.echo,
                   "Measure a plain UDP echo at HOST:PORT instead of an agent")
      ->type_name("HOST:PORT")
      ->excludes(to);
  ping->callback([&c] {
    c.ping.timeout = toMilliseconds(c.pingSeconds);
    c.run = [&c] { return runPing(c.ping); };
  });
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "A command-line tablet for Trovik Helper: finds agents, sends key commands, "
      "shows the agent's state and measures its round trip.",
      "trovik-remote"};
  app.require_subcommand(1);
  app.set_version_flag("--version", TROVIK_VERSION);
  Choices choices;
  defineList(app, choices);
  defineSend(app, choices);
  defineWatchAndKeys(app, choices);
  definePing(app, choices);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    emitLine(stderr, std::string("trovik-remote: ") + e.what() + " (see trovik-remote --help)");
    return kExitUsage;
  }
  try {
    return choices.run();
  } catch (const Failure& failure) {
    emitLine(stderr, std::string("trovik-remote: ") + failure.what());
    return failure.status;
  }
}
