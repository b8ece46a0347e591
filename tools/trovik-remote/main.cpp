// trovik-remote: the tablet's side of the protocol, from a terminal or a script.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>

#include "commands.hpp"
#include "failure.hpp"
#include "output.hpp"
#include "service/messages.hpp"

namespace {

using namespace trovik::remote;

std::chrono::milliseconds toMilliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000 + 0.5));
}

// --timeout S, in seconds, with fractions.
CLI::Option* addTimeout(CLI::App* command, double& seconds, const std::string& what) {
  return command->add_option("--timeout", seconds, what)
      ->type_name("S")
      ->capture_default_str()
      ->check(CLI::Range(0.001, 86400.0));
}

CLI::Option* addTo(CLI::App* command, std::optional<std::string>& to) {
  return command
      ->add_option(
          "--to", to,
          "The agent: its DNS-SD service name, a host name or an address, each with an optional "
          ":PORT. Without it, the only agent on the network.")
      ->type_name("AGENT");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "A command-line tablet for Trovik Helper: finds agents, sends key commands, "
      "shows the agent's state and measures its round trip.",
      "trovik-remote"};
  app.require_subcommand(1);
  app.set_version_flag("--version", TROVIK_VERSION);
  std::function<int()> run;

  double listSeconds = 5;
  auto* list = app.add_subcommand("list",
                                  "List the agents that DNS-SD finds: name, host, "
                                  "address and port, tab-separated, one per line.");
  addTimeout(list, listSeconds, "How long to browse at most");
  list->callback([&] { run = [&] { return runList(toMilliseconds(listSeconds)); }; });

  SendOptions send;
  double sendSeconds = 1;
  auto* sendCommand = app.add_subcommand(
      "send", "Send key commands, one datagram each, and wait for the agent to confirm each.");
  addTo(sendCommand, send.to);
  addTimeout(sendCommand, sendSeconds, "How long to wait for each answer");
  sendCommand->add_flag("-v,--verbose", send.verbose,
                        "Print the agent's state messages on "
                        "standard error");
  sendCommand->add_option("COMMAND", send.commands, "Commands such as SPACE, LEFT, shift+a")
      ->required();
  sendCommand->callback([&] {
    send.timeout = toMilliseconds(sendSeconds);
    run = [&] { return runSend(send); };
  });

  std::optional<std::string> watchTo;
  auto* watch = app.add_subcommand("watch",
                                   "Print every state message as it arrives, with a "
                                   "time stamp, until interrupted.");
  addTo(watch, watchTo);
  watch->callback([&] { run = [&] { return runWatch(watchTo); }; });

  std::optional<std::string> keysTo;
  auto* keys = app.add_subcommand("keys",
                                  "Drive the agent from this terminal's keyboard; "
                                  "Ctrl+C or Ctrl+D leaves.");
  addTo(keys, keysTo);
  keys->callback([&] { run = [&] { return runKeys(keysTo); }; });

  PingOptions ping;
  ping.command = "+ping";
  double pingSeconds = 1;
  auto* pingCommand = app.add_subcommand(
      "ping", "Send commands one at a time and report their round trips in microseconds.");
  auto* pingTo = addTo(pingCommand, ping.to);
  pingCommand->add_option("--count", ping.count, "How many commands")
      ->capture_default_str()
      ->check(CLI::Range(1, 10'000'000));
  pingCommand
      ->add_option("--command", ping.command,
                   "The command to send; the default names no key, so nothing is typed")
      ->type_name("TEXT")
      ->capture_default_str();
  addTimeout(pingCommand, pingSeconds, "How long to wait for each answer");
  pingCommand->add_flag("--json", ping.json, "Print the figures as one JSON object");
  pingCommand
      ->add_option("--echo", ping.echo, "Measure a plain UDP echo at HOST:PORT instead of an agent")
      ->type_name("HOST:PORT")
      ->excludes(pingTo);
  pingCommand->callback([&] {
    ping.timeout = toMilliseconds(pingSeconds);
    run = [&] { return runPing(ping); };
  });

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    emitLine(stderr, std::string("trovik-remote: ") + e.what() + " (see trovik-remote --help)");
    return kExitUsage;
  }
  try {
    return run();
  } catch (const Failure& failure) {
    emitLine(stderr, std::string("trovik-remote: ") + failure.what());
    return failure.status;
  }
}
