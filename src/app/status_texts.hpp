#pragma once

#include <string_view>

namespace trovik {

inline constexpr std::string_view kReadyTitle = "Ready for your iPad";
inline constexpr std::string_view kNeedsAccessTitle =
    "Needs keyboard access: open Accessibility Settings";

inline constexpr std::string_view kLockedTitle = "Paused while the screen is locked";

inline constexpr std::string_view readinessTitle(bool trusted, bool locked) {
  return locked ? kLockedTitle : trusted ? kReadyTitle : kNeedsAccessTitle;
}

// The settings pane for keyboard access; backends without that settings app map it.
inline constexpr std::string_view kAccessibilitySettingsLink =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";

}  // namespace trovik
