#include "platform/linux/desktop/tablet_question.hpp"

#include <algorithm>
#include <asio/post.hpp>
#include <chrono>
#include <cstring>
#include <string_view>

#include "platform/linux/desktop/session_bus.hpp"
#include "platform/linux/diagnostics.hpp"

namespace trovik {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kOwnerMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='org.freedesktop.Notifications'";
constexpr const char* kSignalMatch =
    "type='signal',path='/org/freedesktop/Notifications',"
    "interface='org.freedesktop.Notifications'";
constexpr std::int32_t kExpiryMs = 30'000;
constexpr std::uint8_t kCriticalUrgency = 2;
constexpr auto kStartPatience = std::chrono::milliseconds(500);

}  // namespace

TabletQuestion::TabletQuestion(asio::io_context& mainLoop, std::string busAddress, int notes)
    : loop_(mainLoop), notes_(notes) {
  if (openSessionBus(busAddress, &bus_) < 0) return;
  // Watched before asked for, so that a service that starts in between is not missed.
  if (sd_bus_add_match_async(bus_, &ownerMatch_, kOwnerMatch, onOwnerChanged, nullptr, this) < 0 ||
      sd_bus_add_match_async(bus_, &signalMatch_, kSignalMatch, onSignal, nullptr, this) < 0 ||
      sd_bus_call_method_async(bus_, &call_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetNameOwner", onOwner, this, "s",
                               kService) < 0) {
    bus_ = sd_bus_close_unref(bus_);
    return;
  }
  // Asked at start, briefly, so that a tablet that knocks as soon as the agent listens finds
  // the question ready; a service slower than that is learnt about in the background.
  const auto until = std::chrono::steady_clock::now() + kStartPatience;
  while (call_ && std::chrono::steady_clock::now() < until) {
    if (sd_bus_process(bus_, nullptr) > 0) continue;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        until - std::chrono::steady_clock::now());
    sd_bus_wait(bus_, std::max<std::int64_t>(left.count(), 0));
  }
  pump_ = AsioBusPump::start(loop_, bus_, [this](int) { owner_.clear(), actions_ = false; });
}

TabletQuestion::~TabletQuestion() {
  if (pump_) pump_->stop();
  for (sd_bus_slot* slot : {ownerMatch_, signalMatch_, call_, notifying_}) sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(bus_);
}

int TabletQuestion::onOwnerChanged(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& question = *static_cast<TabletQuestion*>(self);
  const char *name = nullptr, *before = nullptr, *after = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0) return 0;
  question.owner_ = after ? after : "";
  question.actions_ = false;
  question.learnCapabilities();
  return 0;
}

int TabletQuestion::onOwner(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& question = *static_cast<TabletQuestion*>(self);
  question.call_ = sd_bus_slot_unref(question.call_);
  const char* owner = nullptr;
  if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_read(m, "s", &owner) >= 0) {
    question.owner_ = owner;
    question.learnCapabilities();
  }
  return 0;
}

void TabletQuestion::learnCapabilities() {
  call_ = sd_bus_slot_unref(call_);
  if (owner_.empty()) return;
  sd_bus_call_method_async(bus_, &call_, owner_.c_str(), kPath, kService, "GetCapabilities",
                           onCapabilities, this, "");
}

int TabletQuestion::onCapabilities(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& question = *static_cast<TabletQuestion*>(self);
  question.call_ = sd_bus_slot_unref(question.call_);
  char** capabilities = nullptr;
  if (sd_bus_message_is_method_error(m, nullptr) ||
      sd_bus_message_read_strv(m, &capabilities) < 0) {
    return 0;
  }
  for (char** c = capabilities; c && *c; ++c) {
    question.actions_ = question.actions_ || std::strcmp(*c, "actions") == 0;
    std::free(*c);
  }
  std::free(capabilities);
  return 0;
}

bool TabletQuestion::ask(const std::string& address, Answer answer) {
  if (!actions_ || answer_) {
    diagnose("tablets",
             "a tablet at " + address + " asks to type; allow it with \"Allow Tablet at " +
                 address + "\" in the menu, or with: trovik-helper --allow " + address,
             notes_);
    return false;
  }
  const std::string body = "A device at " + address +
                           " wants to press keys in the application you are using. Allow it "
                           "only if it is your tablet.";
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &m, owner_.c_str(), kPath, kService, "Notify");
  if (r >= 0) {
    r = sd_bus_message_append(m, "susss", "Trovik Helper", 0u, "trovik-helper",
                              "Allow a tablet to type on this computer?", body.c_str());
  }
  if (r >= 0) r = sd_bus_message_append(m, "as", 4, "allow", "Allow", "deny", "Don't Allow");
  if (r >= 0) r = sd_bus_message_append(m, "a{sv}", 1, "urgency", "y", kCriticalUrgency);
  if (r >= 0) r = sd_bus_message_append(m, "i", kExpiryMs);
  if (r >= 0) r = sd_bus_call_async(bus_, &notifying_, m, onNotified, this, 0);
  sd_bus_message_unref(m);
  if (r < 0) return false;
  id_ = 0;
  answer_ = std::move(answer);
  pump_->schedule();
  return true;
}

int TabletQuestion::onNotified(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& question = *static_cast<TabletQuestion*>(self);
  question.notifying_ = sd_bus_slot_unref(question.notifying_);
  std::uint32_t id = 0;
  if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_read(m, "u", &id) < 0) {
    // Unanswerable: it lapses like one nobody answered.
    diagnose("tablets", "the notification service refused the question", question.notes_);
    return 0;
  }
  question.id_ = id;
  return 0;
}

int TabletQuestion::onSignal(sd_bus_message* m, void* self, sd_bus_error*) {
  auto& question = *static_cast<TabletQuestion*>(self);
  const char* sender = sd_bus_message_get_sender(m);
  std::uint32_t id = 0;
  if (!question.answer_ || question.id_ == 0 || !sender || question.owner_ != sender) return 0;
  if (sd_bus_message_is_signal(m, kService, "ActionInvoked")) {
    const char* action = nullptr;
    if (sd_bus_message_read(m, "us", &id, &action) < 0 || id != question.id_) return 0;
    if (std::string_view(action) == "allow" || std::string_view(action) == "deny") {
      question.finish(std::string_view(action) == "allow");
    }
  } else if (sd_bus_message_is_signal(m, kService, "NotificationClosed")) {
    // After an action the question is already answered, and this changes nothing.
    if (sd_bus_message_read(m, "u", &id) >= 0 && id == question.id_) question.finish(false);
  }
  return 0;
}

void TabletQuestion::finish(bool allowed) {
  id_ = 0;
  notifying_ = sd_bus_slot_unref(notifying_);
  // Run after the bus's callback: the answer may well ask again.
  asio::post(loop_, [answer = std::exchange(answer_, nullptr), allowed] { answer(allowed); });
}

void TabletQuestion::withdraw() {
  if (id_ != 0 && !owner_.empty()) {
    sd_bus_call_method_async(bus_, nullptr, owner_.c_str(), kPath, kService, "CloseNotification",
                             nullptr, nullptr, "u", id_);
    pump_->schedule();
  }
  id_ = 0;
  notifying_ = sd_bus_slot_unref(notifying_);
  answer_ = nullptr;
}

}  // namespace trovik
