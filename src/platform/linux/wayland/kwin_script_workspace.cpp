#include "platform/linux/wayland/kwin_script_workspace.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/linux/desktop/application_identity.hpp"
#include "platform/linux/desktop/session_bus.hpp"
#include "platform/linux/desktop/xdg_open.hpp"
#include "platform/linux/diagnostics.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;

constexpr const char* kKWin = "org.kde.KWin";
constexpr const char* kScripting = "org.kde.kwin.Scripting";
constexpr const char* kBusDriver = "org.freedesktop.DBus";
constexpr const char* kPath = "/io/trovik/Helper/KWinScript";
constexpr const char* kInterface = "io.trovik.Helper.KWinScript";
constexpr const char* kOwnerMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.kde.KWin'";
constexpr auto kFirstWord = 1s;

// Plasma 6 names them windowActivated and activeWindow; Plasma 5, clientActivated and
// activeClient. KWin takes a window's desktop file name from its app id or its .desktop file.
// Moving the focus, KWin reports no window before the next one: that is said only if it
// lasts past the events at hand.
std::string scriptFor(const std::string& agent) {
  return "function active() {\n"
         "  return workspace.activeWindow !== undefined ? workspace.activeWindow\n"
         "                                              : workspace.activeClient;\n"
         "}\n"
         "function report(window) {\n"
         "  callDBus('" +
         agent + "', '" + kPath + "', '" + kInterface +
         "', 'WindowActivated',\n"
         "           window ? String(window.desktopFileName || '') : '',\n"
         "           window ? String(window.resourceClass || '') : '');\n"
         "}\n"
         "const none = new QTimer();\n"
         "none.singleShot = true;\n"
         "none.interval = 0;\n"
         "none.timeout.connect(() => { if (!active()) report(null); });\n"
         "(workspace.windowActivated || workspace.clientActivated)\n"
         "    .connect(window => window ? report(window) : none.start());\n"
         "report(active());\n";
}

std::string failure(int r) {
  return std::strerror(-r);
}

}  // namespace

const sd_bus_vtable KWinScriptWorkspace::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("WindowActivated", "ss", "", onWindowActivated, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

std::unique_ptr<KWinScriptWorkspace> KWinScriptWorkspace::start(AsioRunLoop& loop,
                                                                const std::string& sessionBus,
                                                                std::string helpAlias) {
  sd_bus* bus = nullptr;
  if (const int r = openSessionBus(sessionBus, &bus); r < 0) {
    diagnose("workspace", "no session bus to hear KWin on (" + failure(r) + ")");
    return nullptr;
  }
  return std::unique_ptr<KWinScriptWorkspace>(
      new KWinScriptWorkspace(loop.context(), bus, std::move(helpAlias)));
}

KWinScriptWorkspace::KWinScriptWorkspace(asio::io_context& context, sd_bus* bus,
                                         std::string helpAlias)
    : bus_(bus),
      helpAlias_(std::move(helpAlias)),
      plugin_("trovik-helper-" + std::to_string(::getpid())),
      launchDeadline_(std::chrono::steady_clock::now() + kFirstWord),
      front_(context) {
  // Watch for KWin before looking for it, so one that starts in between is not missed.
  int r = sd_bus_add_object_vtable(bus_, &objectSlot_, kPath, kInterface, kVtable, this);
  if (r >= 0)
    r = sd_bus_add_match_async(bus_, &ownerSlot_, kOwnerMatch, onOwnerChanged, nullptr, this);
  if (r >= 0) {
    r = sd_bus_call_method_async(bus_, &callSlot_, kBusDriver, "/org/freedesktop/DBus", kBusDriver,
                                 "GetNameOwner", onOwner, this, "s", kKWin);
  }
  if (r >= 0) {
    pump_ = AsioBusPump::start(context, bus_, [this](int error) {
      say("lost the session bus (" + failure(error) + "); no editor is seen in front");
      front_.lost();
    });
    if (!pump_) r = -errno;
  }
  if (r < 0) say("cannot use the session bus to hear KWin (" + failure(r) + ")");
}

KWinScriptWorkspace::~KWinScriptWorkspace() {
  if (pump_) pump_->stop();
  // KWin would otherwise keep calling a name that is gone.
  if (!owner_.empty()) {
    sd_bus_call_method_async(bus_, nullptr, owner_.c_str(), "/Scripting", kScripting,
                             "unloadScript", nullptr, nullptr, "s", plugin_.c_str());
  }
  for (sd_bus_slot* slot : {callSlot_, ownerSlot_, objectSlot_}) sd_bus_slot_unref(slot);
  removeScriptFile();
  sd_bus_flush_close_unref(bus_);
}

std::optional<RunningApplication> KWinScriptWorkspace::frontmostApplication() {
  if (!launchSettled_) {
    launchSettled_ = true;
    while (!heard_ && pump_) {
      const int r = sd_bus_process(bus_, nullptr);
      if (r > 0) continue;
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          launchDeadline_ - std::chrono::steady_clock::now());
      if (r < 0 || left.count() <= 0) break;
      sd_bus_wait(bus_, static_cast<std::uint64_t>(left.count()));
    }
    if (pump_) pump_->schedule();
  }
  return front_.running();
}

void KWinScriptWorkspace::addActivationObserver(ActivationHandler handler) {
  front_.addObserver(std::move(handler));
}

bool KWinScriptWorkspace::openURL(const std::string& url) {
  return openWithDesktop(url, helpAlias_);
}

int KWinScriptWorkspace::onOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<KWinScriptWorkspace*>(userdata);
  self->callSlot_ = sd_bus_slot_unref(self->callSlot_);
  const char* owner = "";
  if (!sd_bus_message_is_method_error(m, nullptr)) sd_bus_message_read(m, "s", &owner);
  self->follow(owner ? owner : "");
  return 0;
}

int KWinScriptWorkspace::onOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<KWinScriptWorkspace*>(userdata);
  const char* sender = sd_bus_message_get_sender(m);
  const char *name = nullptr, *before = nullptr, *after = nullptr;
  // Only the bus itself says who owns a name; anyone else may send us signals directly.
  if (sender && std::strcmp(sender, kBusDriver) == 0 &&
      sd_bus_message_read(m, "sss", &name, &before, &after) >= 0 && std::strcmp(name, kKWin) == 0) {
    self->follow(after);
  }
  return 0;
}

// A new KWin knows nothing of the old one's scripts.
void KWinScriptWorkspace::follow(std::string owner) {
  if (owner == owner_) return;
  owner_ = std::move(owner);
  callSlot_ = sd_bus_slot_unref(callSlot_);
  removeScriptFile();
  heard_ = false;
  if (owner_.empty()) {
    say("KWin is not on the session bus; no editor is seen in front until it is");
    return front_.lost();
  }
  load();
}

void KWinScriptWorkspace::load() {
  const char* unique = nullptr;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string file =
      std::string(runtime && *runtime ? runtime : "/tmp") + "/trovik-helper-XXXXXX.js";
  const int fd = ::mkstemps(file.data(), 3);  // readable by this user alone
  int r = sd_bus_get_unique_name(bus_, &unique);
  if (fd < 0 || r < 0) {
    if (fd >= 0) ::close(fd);
    return say("cannot write a script for KWin: " + failure(fd < 0 ? -errno : r));
  }
  scriptFile_ = file;
  const std::string script = scriptFor(unique);
  const bool written = ::write(fd, script.data(), script.size()) == ssize_t(script.size());
  ::close(fd);
  if (!written) return say("cannot write a script for KWin in " + file);
  // One of an earlier run of this process id would keep the name taken.
  sd_bus_call_method_async(bus_, nullptr, owner_.c_str(), "/Scripting", kScripting, "unloadScript",
                           nullptr, nullptr, "s", plugin_.c_str());
  r = sd_bus_call_method_async(bus_, &callSlot_, owner_.c_str(), "/Scripting", kScripting,
                               "loadScript", onLoaded, this, "ss", file.c_str(), plugin_.c_str());
  if (r < 0) say("cannot ask KWin to load a script: " + failure(r));
}

int KWinScriptWorkspace::onLoaded(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<KWinScriptWorkspace*>(userdata);
  self->callSlot_ = sd_bus_slot_unref(self->callSlot_);
  std::int32_t id = -1;
  if (const sd_bus_error* error = sd_bus_message_get_error(m)) {
    self->say("KWin did not load the script that says which window is in front: " +
              busErrorText(error));
  } else if (sd_bus_message_read(m, "i", &id) < 0 || id < 0) {
    self->say("KWin did not load the script that says which window is in front");
  } else {
    sd_bus_call_method_async(self->bus_, &self->callSlot_, self->owner_.c_str(), "/Scripting",
                             kScripting, "start", onStarted, self, "");
    return 0;
  }
  self->removeScriptFile();
  return 0;
}

int KWinScriptWorkspace::onStarted(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<KWinScriptWorkspace*>(userdata);
  self->callSlot_ = sd_bus_slot_unref(self->callSlot_);
  if (const sd_bus_error* error = sd_bus_message_get_error(m)) {
    self->say("KWin did not start the script that says which window is in front: " +
              busErrorText(error));
  }
  return 0;
}

int KWinScriptWorkspace::onWindowActivated(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<KWinScriptWorkspace*>(userdata);
  const char* sender = sd_bus_message_get_sender(m);
  // Anyone on the bus may call: only KWin itself says which window is in front.
  if (!sender || self->owner_ != sender) {
    return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_ACCESS_DENIED,
                                      "Only KWin says which window is in front");
  }
  const char *desktopFile = nullptr, *resourceClass = nullptr;
  if (const int r = sd_bus_message_read(m, "ss", &desktopFile, &resourceClass); r < 0) return r;
  if (!self->heard_) {
    self->heard_ = true;
    self->said_ = false;
    self->removeScriptFile();  // read, since it runs
  }
  const std::string name = *desktopFile ? desktopFile : resourceClass;
  if (name.empty()) {
    self->front_.noWindow();
  } else {
    self->front_.window(applicationIdentifierOfAppId(name));
  }
  return sd_bus_reply_method_return(m, "");
}

void KWinScriptWorkspace::removeScriptFile() {
  if (!scriptFile_.empty()) ::unlink(scriptFile_.c_str());
  scriptFile_.clear();
}

// Once until KWin speaks again.
void KWinScriptWorkspace::say(const std::string& text) {
  if (said_) return;
  said_ = true;
  diagnose("workspace", text);
}

}  // namespace trovik
