#pragma once

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <functional>
#include <memory>
#include <string>

#include "platform/linux/desktop/asio_bus_pump.hpp"

namespace trovik {

// Asks the user whether a tablet may type, as a desktop notification with "Allow" and "Don't
// Allow" (org.freedesktop.Notifications on the session bus, served by the main loop). It asks
// only where the notification service offers actions; whether one does is learnt at start and
// again whenever the service changes hands. Answers are taken only from the service's current
// owner, for the notification this asked. Main thread only.
class TabletQuestion {
 public:
  using Answer = std::function<void(bool allowed)>;

  // `busAddress` empty: the user's session bus. Where it cannot ask, ask() says so on `notes`.
  explicit TabletQuestion(asio::io_context& mainLoop, std::string busAddress = {},
                          int notes = STDERR_FILENO);
  ~TabletQuestion();
  TabletQuestion(const TabletQuestion&) = delete;
  TabletQuestion& operator=(const TabletQuestion&) = delete;

  // False, with one line on `notes` naming the address and the command that allows it, when
  // no service with actions is there to ask. Otherwise `answer` runs once: allowed, or refused
  // (Don't Allow, or the notification closed before any action).
  bool ask(const std::string& address, Answer answer);
  // Closes the open question's notification; it gets no answer.
  void withdraw();

 private:
  static int onOwnerChanged(sd_bus_message* m, void* self, sd_bus_error*);
  static int onOwner(sd_bus_message* m, void* self, sd_bus_error*);
  static int onCapabilities(sd_bus_message* m, void* self, sd_bus_error*);
  static int onNotified(sd_bus_message* m, void* self, sd_bus_error*);
  static int onSignal(sd_bus_message* m, void* self, sd_bus_error*);
  void learnCapabilities();
  void finish(bool allowed);

  asio::io_context& loop_;
  const int notes_;
  sd_bus* bus_ = nullptr;
  std::shared_ptr<AsioBusPump> pump_;
  sd_bus_slot* ownerMatch_ = nullptr;
  sd_bus_slot* signalMatch_ = nullptr;
  sd_bus_slot* call_ = nullptr;       // the capabilities or owner query in flight
  sd_bus_slot* notifying_ = nullptr;  // the Notify call in flight
  std::string owner_;                 // the service's unique name; empty: none
  bool actions_ = false;
  std::uint32_t id_ = 0;  // of the open question's notification, once known
  Answer answer_;         // of the open question
};

}  // namespace trovik
