#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The subcommands, each in a file of its own. Each returns the exit status or throws Failure.
namespace trovik::remote {

int runList(std::chrono::milliseconds timeout);

struct SendOptions {
  std::optional<std::string> to;
  std::vector<std::string> commands;
  std::chrono::milliseconds timeout{1000};
  bool verbose = false;
};
int runSend(const SendOptions& options);

int runWatch(const std::optional<std::string>& to);

int runKeys(const std::optional<std::string>& to);

struct PingOptions {
  std::optional<std::string> to;
  std::optional<std::string> echo;  // HOST:PORT of a plain UDP echo instead of an agent
  int count = 10;
  // Its first character has no key, so the agent confirms it without typing anything.
  std::string command = "+ping";
  std::chrono::milliseconds timeout{1000};
  bool json = false;
};
int runPing(const PingOptions& options);

// Throws Failure (bad usage) for a text the agent would ignore, so that no one waits for a
// confirmation that cannot come.
void requireKeyCommand(const std::string& command);

}  // namespace trovik::remote
