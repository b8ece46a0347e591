#pragma once

#include <stdexcept>
#include <string>

namespace trovik::remote {

// Exit statuses; scripts rely on them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoneFound = 1;  // list found no agent
inline constexpr int kExitUsage = 2;      // bad usage, port 9877 taken, no Avahi daemon
inline constexpr int kExitDenied = 3;     // the agent may not press keys
inline constexpr int kExitTimeout = 4;    // the agent did not answer in time

// Ends the program: main prints "trovik-remote: " and the message, and exits with `status`.
struct Failure : std::runtime_error {
  Failure(int status, const std::string& message) : std::runtime_error(message), status(status) {}
  int status;
};

}  // namespace trovik::remote
