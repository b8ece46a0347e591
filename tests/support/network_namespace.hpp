#pragma once

#include <string>

namespace trovik::test {

// Moves this process into a fresh network namespace whose only interface, `lo`, is up
// (IPv4 and IPv6 loopback, multicast on). Needs root. Call it before any thread starts:
// threads that exist already stay in the old namespace. Empty on success, otherwise why not.
std::string enterNetworkNamespace();

}  // namespace trovik::test
