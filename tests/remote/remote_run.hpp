#pragma once

#include <string>
#include <utility>
#include <vector>

#include "e2e/agent_harness.hpp"

namespace trovik::e2e {

inline AgentOptions remoteOptions(std::vector<std::string> arguments,
                                  std::vector<std::pair<std::string, std::string>> env = {}) {
  return {std::move(arguments), std::move(env), true, TROVIK_REMOTE_PATH};
}

struct Finished {
  int status = -1;
  std::vector<std::string> out;
  std::string err;
};

// Runs trovik-remote to its end, killed after a minute. The agent, when given, is read
// meanwhile: it logs every command, and a full pipe would stall it.
inline Finished runRemote(std::vector<std::string> arguments,
                          std::vector<std::pair<std::string, std::string>> env = {},
                          AgentProcess* agent = nullptr) {
  AgentProcess remote(remoteOptions(std::move(arguments), std::move(env)));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  std::optional<int> status;
  while (!(status = remote.waitForExit(std::chrono::milliseconds(20))) &&
         std::chrono::steady_clock::now() < deadline) {
    while (agent && agent->nextLine(std::chrono::milliseconds(0))) {
    }
  }
  return {status.value_or(-1), remote.lines(), remote.errorText()};
}

}  // namespace trovik::e2e
