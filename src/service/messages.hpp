#pragma once

#include <cstdint>
#include <string_view>

// Every text that crosses the wire, both ports and the advertised service, defined once.
namespace trovik::messages {

inline constexpr std::uint16_t kCommandPort = 9876;
inline constexpr std::uint16_t kStatePort = 9877;

inline constexpr std::string_view kServiceType = "_trovik._udp.";
inline constexpr std::string_view kServiceDomain = "local.";

// Client to agent.
inline constexpr std::string_view kHello = "hello";
inline constexpr std::string_view kReservedPrefix = "fcp:";

// Agent to client.
inline constexpr std::string_view kAxGranted = "ax:granted";
inline constexpr std::string_view kAxDenied = "ax:denied";
inline constexpr std::string_view kFcpActive = "fcp:active";
inline constexpr std::string_view kFcpInactive = "fcp:inactive";
inline constexpr std::string_view kAppActivePrefix = "app:active:";
inline constexpr std::string_view kAppInactive = "app:inactive";
inline constexpr std::string_view kKeyFired = "key:fired";

inline constexpr std::string_view accessibilityMessage(bool trusted) {
  return trusted ? kAxGranted : kAxDenied;
}

}  // namespace trovik::messages
