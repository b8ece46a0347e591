#include "platform/linux/desktop/application_identity.hpp"

#include <algorithm>
#include <string_view>

namespace trovik {
namespace {

// The editors that run on Linux, by the names their windows carry there, and the
// identifier each has on the platform the core's classifier was written for.
// DaVinci Resolve: a Qt/X11 program whose windows have the WM_CLASS class "resolve"
// (distribution packages set StartupWMClass=resolve); Blackmagic's desktop entry is
// com.blackmagicdesign.resolve.desktop.
struct KnownApplication {
  std::string_view wmClass;    // compared in any letter case
  std::string_view desktopId;  // compared exactly, with or without ".desktop"
  std::string_view identifier;
};
constexpr KnownApplication kKnownApplications[] = {
    {"resolve", "com.blackmagicdesign.resolve", "com.blackmagic-design.DaVinciResolve"},
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return std::ranges::equal(a, b, {}, lower, lower);
}

std::string_view desktopId(std::string_view name) {
  constexpr std::string_view kSuffix = ".desktop";
  if (name.ends_with(kSuffix)) name.remove_suffix(kSuffix.size());
  return name;
}

}  // namespace

std::optional<std::string> applicationIdentifierOfAppId(const std::string& appId) {
  if (appId.empty()) return std::nullopt;
  std::string_view id = appId;
  constexpr std::string_view kSuffix = ".desktop";
  if (id.size() > kSuffix.size() &&
      equalsIgnoringCase(id.substr(id.size() - kSuffix.size()), kSuffix)) {
    id.remove_suffix(kSuffix.size());
  }
  for (const auto& known : kKnownApplications) {
    if (equalsIgnoringCase(id, known.wmClass) || equalsIgnoringCase(id, known.desktopId)) {
      return std::string(known.identifier);
    }
  }
  return appId;
}

std::optional<std::string> applicationIdentifier(const WindowIdentity& window) {
  // A desktop ID names the application more exactly than a class, so it goes first.
  const bool byDesktopId = window.gtkApplicationId || window.kdeDesktopFile;
  const std::optional<std::string>& found = window.gtkApplicationId ? window.gtkApplicationId
                                            : window.kdeDesktopFile ? window.kdeDesktopFile
                                                                    : window.wmClass;
  if (!found) return std::nullopt;
  for (const auto& known : kKnownApplications) {
    if (byDesktopId ? desktopId(*found) == known.desktopId
                    : equalsIgnoringCase(*found, known.wmClass)) {
      return std::string(known.identifier);
    }
  }
  return found;
}

}  // namespace trovik
