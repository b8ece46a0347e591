#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/system.hpp"
#include "platform/workspace.hpp"

namespace trovik {

// Open at Login as an XDG autostart entry. The entry is enabled when it is a desktop entry
// of Type=Application whose Exec starts this program and that neither Hidden=true nor
// X-GNOME-Autostart-enabled=false turns off; the program counts as installed while its
// application desktop entry exists, and an uninstalled copy (a build tree) never writes an
// entry. Approval is never required here. Main thread only.
class XdgLoginItems final : public LoginItems {
 public:
  struct Paths {
    std::filesystem::path entry;           // the autostart entry
    std::filesystem::path program;         // this program, absolute
    std::filesystem::path installedEntry;  // the application's desktop entry
  };

  // autostart/trovik-helper.desktop in xdgConfigHome().
  static std::filesystem::path defaultEntry();

  // Opens the autostart folder through `workspace`, which must outlive this.
  XdgLoginItems(Paths paths, Workspace& workspace);

  LoginItemStatus status() override;
  // Writes the entry whole, replacing whatever stood under its name.
  std::optional<std::string> registerItem() override;
  // Removes the entry only when it starts this program; a missing one is no error.
  std::optional<std::string> unregisterItem() override;
  void openSystemSettingsLoginItems() override;

 private:
  enum class Found { nothing, enabled, disabled, otherProgram, notAnEntry, unreadable };
  Found read(std::string& problem) const;
  bool startsThisProgram(const std::string& exec) const;
  bool installed() const;

  const Paths paths_;
  Workspace& workspace_;
};

}  // namespace trovik
