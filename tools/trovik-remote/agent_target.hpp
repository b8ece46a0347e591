#pragma once

#include <optional>
#include <string>

#include "endpoint.hpp"

namespace trovik::remote {

// The agent's command endpoint. `to` is an address, a DNS-SD service name or a host name,
// each with an optional ":PORT"; without it, the one agent that DNS-SD finds. Throws Failure
// when there is none, or several.
Endpoint findAgent(const std::optional<std::string>& to);

}  // namespace trovik::remote
