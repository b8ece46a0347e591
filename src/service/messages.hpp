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
// Key commands with a name of their own, and the prefix that adds Shift to a letter or digit.
inline constexpr std::string_view kShiftPrefix = "shift+";
inline constexpr std::string_view kSpace = "SPACE";
inline constexpr std::string_view kReturn = "RETURN";
inline constexpr std::string_view kDelete = "DELETE";  // the backspace key
inline constexpr std::string_view kTab = "TAB";
inline constexpr std::string_view kEsc = "ESC";
inline constexpr std::string_view kLeft = "LEFT";
inline constexpr std::string_view kRight = "RIGHT";
inline constexpr std::string_view kUp = "UP";
inline constexpr std::string_view kDown = "DOWN";

// Agent to client.
inline constexpr std::string_view kAxGranted = "ax:granted";
inline constexpr std::string_view kAxDenied = "ax:denied";
inline constexpr std::string_view kFcpActive = "fcp:active";
inline constexpr std::string_view kFcpInactive = "fcp:inactive";
inline constexpr std::string_view kAppActivePrefix = "app:active:";
inline constexpr std::string_view kAppInactive = "app:inactive";
inline constexpr std::string_view kKeyFired = "key:fired";

// What the agent takes for no key command once it is trimmed: nothing, the greeting, or a
// reserved text.
inline constexpr bool isIgnoredCommand(std::string_view trimmed) {
  return trimmed.empty() || trimmed == kHello || trimmed.starts_with(kReservedPrefix);
}

inline constexpr std::string_view accessibilityMessage(bool trusted) {
  return trusted ? kAxGranted : kAxDenied;
}

}  // namespace trovik::messages
