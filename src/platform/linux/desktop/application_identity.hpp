#pragma once

#include <optional>
#include <string>

namespace trovik {

// What a window says about the application that owns it; each is absent when unset or empty.
struct WindowIdentity {
  std::optional<std::string> gtkApplicationId;  // _GTK_APPLICATION_ID, a desktop ID
  std::optional<std::string> kdeDesktopFile;    // _KDE_NET_WM_DESKTOP_FILE
  std::optional<std::string> wmClass;           // the class part of WM_CLASS
};

// The identifier the core classifies a window's application by: the first of the window's
// identities that is set, replaced by the editor's own identifier for the editors that the
// core knows by another name. Absent when the window names no application.
std::optional<std::string> applicationIdentifier(const WindowIdentity& window);

// The same for a Wayland window's app id, which may be a desktop ID or a class, in any
// letter case, with or without ".desktop". Absent when empty.
std::optional<std::string> applicationIdentifierOfAppId(const std::string& appId);

}  // namespace trovik
