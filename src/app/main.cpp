// trovik-helper: picks the Linux backends, wires them into the delegate and runs the main
// loop until Quit, SIGINT or SIGTERM.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "app/app_delegate.hpp"
#include "app/status_texts.hpp"
#include "platform/linux/asio_run_loop.hpp"
#include "platform/linux/check/check.hpp"
#include "platform/linux/desktop/executable_bundle.hpp"
#include "platform/linux/desktop/file_user_defaults.hpp"
#include "platform/linux/desktop/linux_host_info.hpp"
#include "platform/linux/desktop/linux_tablets.hpp"
#include "platform/linux/desktop/logind_screen_lock.hpp"
#include "platform/linux/desktop/run_loop_application.hpp"
#include "platform/linux/desktop/sni_status_bar.hpp"
#include "platform/linux/desktop/tablet_commands.hpp"
#include "platform/linux/desktop/unavailable.hpp"
#include "platform/linux/desktop/x11_workspace.hpp"
#include "platform/linux/desktop/xdg_login_items.hpp"
#include "platform/linux/diagnostics.hpp"
#include "platform/linux/dnssd/avahi_advertiser.hpp"
#include "platform/linux/icu_text.hpp"
#include "platform/linux/keyboard/linux_keyboard.hpp"
#include "platform/linux/net/asio_network.hpp"
#include "platform/linux/stdout_log.hpp"
#include "platform/linux/stop_signals.hpp"
#include "platform/linux/wayland/kwin_script_workspace.hpp"
#include "platform/linux/wayland/wayland_display.hpp"
#include "platform/linux/wayland/wayland_workspace.hpp"

namespace trovik {
namespace {

constexpr std::string_view kUsage =
    "Usage: trovik-helper [--help | --version | --check]\n"
    "       trovik-helper --allow ADDRESS | --forget ADDRESS|all | --tablets\n"
    "\n"
    "Lets a tablet on the same network be a remote keyboard for a video editor. Tablets\n"
    "find it by DNS-SD (_trovik._udp), send commands to UDP port 9876 and hear its state\n"
    "on their own UDP port 9877. It logs every event on standard output and runs until\n"
    "Quit is chosen from its tray menu or it gets SIGINT (Ctrl+C) or SIGTERM.\n"
    "\n"
    "A new tablet types only once the user allows it. --allow and --forget edit the\n"
    "trusted tablets (a running agent follows within a second); --tablets lists them.\n"
    "\n"
    "--check says, one line per service, what keeps tablets from finding it or it from\n"
    "typing, and what to do; it exits 0 when nothing does. A running agent is not disturbed.\n";

// Every service of one run. Each backend is chosen in makeServices() alone; a member's
// type is its interface, so another backend drops in without touching the rest.
struct Services {
  AsioRunLoop runLoop;
  std::unique_ptr<ServiceAdvertiser> advertiser;
  // After the advertiser, which it uses. Its threads serve the core's work queue too.
  std::unique_ptr<AsioNetwork> network;
  std::unique_ptr<LogindScreenLock> screenLock;  // outlives the keyboard, which asks it
  std::unique_ptr<LinuxKeyboard> keyboard;
  std::unique_ptr<Tablets> tablets;
  StdoutLog log;
  IcuText text;
  std::unique_ptr<Workspace> workspace;
  std::unique_ptr<StatusBar> statusBar;
  SniStatusBar* tray = nullptr;  // statusBar, which learns the delegate once it exists
  std::unique_ptr<HostInfo> hostInfo;
  std::unique_ptr<LoginItems> loginItems;
  std::unique_ptr<UserDefaults> userDefaults;
  std::unique_ptr<Bundle> bundle;
  std::unique_ptr<Application> application;

  Platform platform() {
    return Platform{runLoop,       network->workQueue(),
                    *network,      *keyboard,
                    *keyboard,     *tablets,
                    log,           text,
                    *workspace,    *statusBar,
                    *hostInfo,     *loginItems,
                    *userDefaults, *bundle,
                    *application};
  }
};

std::unique_ptr<Services> makeServices() {
  auto s = std::make_unique<Services>();
  auto defaults = std::make_unique<FileUserDefaults>(FileUserDefaults::defaultFile());
  // Beyond this computer's own networks, tablets may type from these (a VPN's, say).
  auto allowedNetworks = net::parseAllowedNetworks(defaults->stringForKey("allowedNetworks"));
  s->userDefaults = std::move(defaults);
  s->advertiser = std::make_unique<AvahiAdvertiser>();
  s->network = std::make_unique<AsioNetwork>(*s->advertiser, std::move(allowedNetworks));
  // In a Wayland session the compositor's offer picks the keyboard and the workspace.
  const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
  const std::string wayland = waylandDisplay ? waylandDisplay : "";
  const WaylandOffer offer =
      probeWayland(wayland, std::chrono::seconds(1), std::chrono::seconds(10));
  if (offer.reached && !offer.virtualKeyboard && !offer.toplevels) {
    diagnose("wayland", offer.compositor +
                            " offers no virtual keyboard and no window list: keys need the uinput "
                            "rule (see \"Granting keyboard access\" in the README)" +
                            (offer.kwinScript() ? ", unless the agent is installed"
                                                : ", and only X11 applications are seen in front"));
  }
  LinuxKeyboardOptions keys;
  // One that did not answer yet may still come with its virtual keyboard.
  keys.wayland = offer.reached && !offer.virtualKeyboard ? "" : wayland;
  // Early: a new virtual keyboard needs a moment before the desktop sees it.
  s->keyboard = std::make_unique<LinuxKeyboard>(keys);
  s->screenLock = std::make_unique<LogindScreenLock>(
      s->runLoop.context(), "", [keyboard = s->keyboard.get()] { keyboard->screenLockChanged(); });
  s->keyboard->followScreenLock([lock = s->screenLock.get()] { return lock->locked(); });
  s->tablets = std::make_unique<LinuxTablets>(
      s->runLoop.context(), TrustedTabletFile(TrustedTabletFile::defaultFile()),
      std::make_unique<TabletQuestion>(s->runLoop.context()));
  const char* display = std::getenv("DISPLAY");
  if (offer.toplevels) {
    diagnose("workspace",
             "the application in front comes from the compositor (" + offer.compositor + ")");
    // X11 windows under Xwayland are listed without an app id: their X11 identity names them.
    std::unique_ptr<Workspace> xwayland;
    if (display && *display) xwayland = std::make_unique<X11Workspace>(s->runLoop, display);
    s->workspace = std::make_unique<WaylandWorkspace>(
        s->runLoop, wayland, std::string(kAccessibilitySettingsLink), std::move(xwayland));
  } else if (offer.kwinScript() && (s->workspace = KWinScriptWorkspace::start(
                                        s->runLoop, "", std::string(kAccessibilitySettingsLink)))) {
    diagnose("workspace",
             "the application in front comes from a script loaded into " + offer.compositor);
  } else {
    s->workspace = std::make_unique<X11Workspace>(s->runLoop, display ? display : "",
                                                  std::string(kAccessibilitySettingsLink));
  }
  auto tray = std::make_unique<SniStatusBar>(s->runLoop.context());
  s->tray = tray.get();
  s->statusBar = std::move(tray);
  s->hostInfo = std::make_unique<LinuxHostInfo>();
  const auto program = runningProgram();
  s->loginItems = std::make_unique<XdgLoginItems>(
      XdgLoginItems::Paths{XdgLoginItems::defaultEntry(), program, installedDesktopEntry(program)},
      *s->workspace);
  s->bundle = std::make_unique<ExecutableBundle>();
  s->application = std::make_unique<RunLoopApplication>(s->runLoop);
  return s;
}

int run() {
  using namespace std::chrono_literals;
  // A reader that goes away must not end the agent: its log lines are simply lost.
  std::signal(SIGPIPE, SIG_IGN);
  raiseDescriptorLimit();

  // Heard on a thread of its own from the very start, and the process ends within a second
  // of one in any state.
  std::atomic<RunLoop*> mainLoop{nullptr};
  StopSignals signals(
      [&mainLoop] {
        if (RunLoop* loop = mainLoop.load()) loop->stop();
      },
      900ms);
  auto services = makeServices();
  mainLoop = &services->runLoop;
  auto delegate = AppDelegate::create(services->platform());
  // Menu lines without a target of their own end up at the delegate, as in a responder chain.
  services->tray->setApplicationDelegate(delegate);

  services->runLoop.post([&delegate] { delegate->applicationDidFinishLaunching(); });
  services->runLoop.run();
  signals.stopping();

  // Nothing may call back into the delegate once it is gone: first the sockets, every
  // pending completion and the network threads, then the delegate (on this, the main
  // thread), and only then the services it used.
  services->network->shutdown();
  delegate.reset();
  const auto deadline = std::chrono::steady_clock::now() + 300ms;
  services->log.flush(deadline);
  flushDiagnostics(deadline);
  return 0;
}

}  // namespace
}  // namespace trovik

int main(int argc, char** argv) {
  using std::string_view;
  if (argc == 2 && string_view(argv[1]) == "--help") {
    std::fputs(trovik::kUsage.data(), stdout);
    return 0;
  }
  if (argc == 2 && string_view(argv[1]) == "--version") {
    std::puts("trovik-helper " TROVIK_VERSION);
    return 0;
  }
  if (argc == 2 && string_view(argv[1]) == "--check") {
    const int status =
        trovik::check::runCheck(std::string(trovik::AppDelegate::askBeforeNewTabletsKey));
    trovik::flushDiagnostics(std::chrono::steady_clock::now() + std::chrono::seconds(1));
    return status;
  }
  const bool tablets =
      (argc == 2 && string_view(argv[1]) == "--tablets") ||
      (argc == 3 && (string_view(argv[1]) == "--allow" || string_view(argv[1]) == "--forget"));
  if (tablets) {
    const int status =
        trovik::runTabletCommand(argv[1], argc == 3 ? std::optional(argv[2]) : std::nullopt);
    // What it said on standard error goes out before the process does.
    trovik::flushDiagnostics(std::chrono::steady_clock::now() + std::chrono::seconds(1));
    return status;
  }
  if (argc != 1) {
    std::fputs(trovik::kUsage.data(), stderr);
    return 2;
  }
  return trovik::run();
}
