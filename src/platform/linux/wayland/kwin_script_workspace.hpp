#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/asio_run_loop.hpp"
#include "platform/linux/desktop/asio_bus_pump.hpp"
#include "platform/linux/wayland/settling_front.hpp"
#include "platform/workspace.hpp"

namespace trovik {

// The application in front on KDE Plasma for a copy that KWin does not lend its window list
// (one not installed with its desktop entry): a small script loaded into KWin through
// org.kde.kwin.Scripting calls the agent back on the session bus whenever another window
// becomes active, with the window's desktop file name and resource class. Only calls from
// KWin's own connection count. A KWin that leaves the bus makes the front application none;
// one that comes back gets the script again. Main thread only.
class KWinScriptWorkspace final : public Workspace {
 public:
  // Null, after one line on standard error, when there is no session bus. `sessionBus` empty:
  // the user's. `helpAlias`: see X11Workspace.
  static std::unique_ptr<KWinScriptWorkspace> start(AsioRunLoop& loop,
                                                    const std::string& sessionBus,
                                                    std::string helpAlias = {});
  ~KWinScriptWorkspace() override;
  KWinScriptWorkspace(const KWinScriptWorkspace&) = delete;
  KWinScriptWorkspace& operator=(const KWinScriptWorkspace&) = delete;

  // The first call waits, up to a second after construction, for the script's first word.
  std::optional<RunningApplication> frontmostApplication() override;
  void addActivationObserver(ActivationHandler handler) override;
  bool openURL(const std::string& url) override;

 private:
  KWinScriptWorkspace(asio::io_context& context, sd_bus* bus, std::string helpAlias);
  static int onOwner(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onOwnerChanged(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onLoaded(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onStarted(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onWindowActivated(sd_bus_message* m, void* self, sd_bus_error* error);
  static const sd_bus_vtable kVtable[];

  void follow(std::string owner);
  void load();
  void removeScriptFile();
  void say(const std::string& text);

  sd_bus* bus_;
  const std::string helpAlias_;
  const std::string plugin_;  // the script's name in KWin, this process's own
  const std::chrono::steady_clock::time_point launchDeadline_;
  sd_bus_slot* objectSlot_ = nullptr;
  sd_bus_slot* ownerSlot_ = nullptr;  // NameOwnerChanged of org.kde.KWin
  sd_bus_slot* callSlot_ = nullptr;   // the one call to KWin in flight
  std::string owner_;                 // KWin's unique name, the only caller believed
  std::string scriptFile_;            // until KWin has read it
  std::shared_ptr<AsioBusPump> pump_;
  bool heard_ = false;  // the script has spoken since it was loaded
  bool launchSettled_ = false;
  bool said_ = false;
  SettlingFront front_;
};

}  // namespace trovik
