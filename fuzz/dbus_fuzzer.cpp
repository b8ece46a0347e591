// What D-Bus peers hand the tray icon, its menu and the question about a new tablet, over a
// private bus: menu methods and events with odd ids, names and types, property reads, calls
// with the wrong arguments, and notification signals with odd ids and actions, from the
// notification service and from others. The tray and the question are the real ones, each
// input with its own; the agent's own menu fills the tray.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/app_delegate.hpp"
#include "bus_fixture.hpp"
#include "bus_values.hpp"
#include "fakes/fakes.hpp"
#include "notification_service.hpp"
#include "platform/linux/desktop/session_bus.hpp"
#include "platform/linux/desktop/sni_status_item.hpp"
#include "platform/linux/desktop/tablet_question.hpp"

namespace trovik::fuzz {
namespace {

constexpr const char* kMenu = "com.canonical.dbusmenu";
constexpr const char* kItem = "org.kde.StatusNotifierItem";

// What lives as long as the process: the bus, a peer that calls the tray, and the
// notification service.
struct Peers {
  Peers() : service(loop, PrivateBus::address()) {
    require(openSessionBus(PrivateBus::address(), &caller) >= 0, "bus", "caller");
    callerPump = AsioBusPump::start(
        loop, caller, [](int error) { fail("bus: caller lost", std::strerror(-error)); });
  }
  asio::io_context loop;
  NotificationService service;
  sd_bus* caller = nullptr;
  std::shared_ptr<AsioBusPump> callerPump;
};

class Run {
 public:
  Run(Peers& peers, FuzzedDataProvider& in) : peers_(peers), in_(in) {
    peers.service.actions = in.ConsumeBool();
    delegate_->setupStatusItem();
    sd_bus* bus = nullptr;
    require(openSessionBus(PrivateBus::address(), &bus) >= 0, "bus", "tray");
    const char* unique = nullptr;
    sd_bus_get_unique_name(bus, &unique);
    tray_ = unique;
    static int runs = 0;  // a name each: the last run's may not be released yet
    item_ = std::make_unique<SniStatusItem>(
        peers.loop, bus, "org.kde.StatusNotifierItem-fuzz-" + std::to_string(++runs),
        [this](const MenuItem& line) { delivered(line); });
    require(item_->start() >= 0, "tray", "start");
    item_->setMenu(fake_.statusBar.menu);
    const int asked = peers.service.capabilityQuestions;
    question_ = std::make_unique<TabletQuestion>(peers.loop, PrivateBus::address(), notes_);
    until(
        peers.loop, [&] { return peers.service.capabilityQuestions > asked; }, "capabilities");
    peers.service.barrier();
  }

  // Whatever the tray and the question posted runs while this run is still there.
  ~Run() {
    question_.reset();
    item_.reset();
    peers_.loop.restart();
    peers_.loop.poll();
    ::close(notes_);
  }

  void step() {
    switch (in_.ConsumeIntegralInRange(0, 7)) {
      case 0:
        return menuEvent();
      case 1:
        return menuCall(in_.PickValueInArray({"GetLayout", "GetGroupProperties", "GetProperty",
                                              "AboutToShow", "AboutToShowGroup", "EventGroup"}));
      case 2:
        return propertyRead();
      case 3:
        return strangeCall();
      case 4:
        return ask();
      case 5:
        return notificationSignal(true);
      case 6:
        return notificationSignal(false);
      default:
        return withdraw();
    }
  }

 private:
  const std::vector<std::shared_ptr<MenuItem>>& lines() const {
    return fake_.statusBar.menu->items();
  }
  std::int32_t someId() {
    return in_.ConsumeBool() ? in_.ConsumeIntegralInRange<std::int32_t>(-1, lines().size() + 1)
                             : in_.ConsumeIntegral<std::int32_t>();
  }

  // A call from the peer, answered one way or another: a method call nobody answers leaves
  // the tray host waiting.
  sd_bus_message* call(sd_bus_message* m) {
    sd_bus_message* reply = nullptr;
    sd_bus_slot* slot = nullptr;
    const auto onReply = [](sd_bus_message* r, void* out, sd_bus_error*) {
      *static_cast<sd_bus_message**>(out) = sd_bus_message_ref(r);
      return 0;
    };
    const int r = sd_bus_call_async(peers_.caller, &slot, m, onReply, &reply, 0);
    sd_bus_message_unref(m);
    if (r < 0) return nullptr;
    sd_bus_flush(peers_.caller);
    until(
        peers_.loop, [&] { return reply != nullptr; }, "reply from the tray");
    sd_bus_slot_unref(slot);
    return reply;
  }
  sd_bus_message* newCall(const char* path, const char* interface, const char* member) {
    sd_bus_message* m = nullptr;
    sd_bus_message_new_method_call(peers_.caller, &m, tray_.c_str(), path, interface, member);
    return m;
  }

  // Clicks, hovers and the like, typed as hosts send them or not; only a click on a line that
  // is not a separator delivers it.
  void menuEvent() {
    const std::int32_t id = someId();
    const std::string name = in_.ConsumeBool() ? "clicked" : someText(in_);
    const std::string data = in_.ConsumeBool() ? "i" : anyType(in_);
    sd_bus_message* m = newCall("/MenuBar", kMenu, "Event");
    int r = sd_bus_message_append(m, "is", id, name.c_str());
    if (r >= 0) r = sd_bus_message_open_container(m, 'v', data.c_str());
    if (r >= 0) r = appendAny(m, in_, data.c_str());
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_append(m, "u", in_.ConsumeIntegral<std::uint32_t>());
    if (r < 0) return (void)sd_bus_message_unref(m);
    const bool clicks = name == "clicked" && id >= 1 && std::size_t(id) <= lines().size() &&
                        !lines()[id - 1]->isSeparator();
    sd_bus_message_unref(call(m));
    require(deliveries_ == expected_ + clicks, "clicks delivered", name);
    expected_ = deliveries_;
  }

  void menuCall(const char* member) {
    sd_bus_message* m = newCall("/MenuBar", kMenu, member);
    const bool layout = std::string_view(member) == "GetLayout" && in_.ConsumeBool();
    const std::int32_t parent = someId();
    if (layout &&
        sd_bus_message_append(m, "ii", parent, in_.ConsumeIntegral<std::int32_t>()) >= 0 &&
        appendAny(m, in_, "as") >= 0) {
      // The root and every line have a layout; other ids have none.
      sd_bus_message* reply = call(m);
      const bool known = parent >= 0 && std::size_t(parent) <= lines().size();
      require(reply && sd_bus_message_is_method_error(reply, nullptr) != known, "layout");
      std::uint32_t revision = 0;
      std::int32_t id = -1;
      if (known && sd_bus_message_read(reply, "u", &revision) >= 0 &&
          sd_bus_message_enter_container(reply, 'r', "ia{sv}av") >= 0) {
        sd_bus_message_read(reply, "i", &id);
      }
      require(!known || id == parent, "layout of another item");
      sd_bus_message_unref(reply);
      return;
    }
    if (!appendArguments(m)) return (void)sd_bus_message_unref(m);
    sd_bus_message_unref(call(m));
  }

  // Arguments of types the bytes choose: the right ones at times, by chance or by the seeds.
  bool appendArguments(sd_bus_message* m) {
    for (int n = in_.ConsumeIntegralInRange(0, 4); n > 0; --n) {
      const std::string type = anyType(in_);
      if (appendAny(m, in_, type.c_str()) < 0) return false;
    }
    return true;
  }

  // Get and GetAll as hosts send them, with names known and not, or any arguments at all.
  void propertyRead() {
    const bool item = in_.ConsumeBool();
    const char* member = in_.PickValueInArray({"Get", "GetAll", "Set"});
    sd_bus_message* m = newCall(item ? "/StatusNotifierItem" : "/MenuBar",
                                "org.freedesktop.DBus.Properties", member);
    const std::string interface = in_.ConsumeBool() ? (item ? kItem : kMenu) : someText(in_);
    int r = sd_bus_message_append(m, "s", interface.c_str());
    if (r >= 0 && std::string_view(member) == "Get" && in_.ConsumeBool()) {
      const std::string name =
          in_.ConsumeBool()
              ? in_.PickValueInArray({"ToolTip", "Title", "IconName", "Menu", "Status", "Version",
                                      "TextDirection", "IconThemePath"})
              : someText(in_);
      r = sd_bus_message_append(m, "s", name.c_str());
    } else if (r >= 0 && !appendArguments(m)) {
      r = -1;
    }
    if (r < 0) return (void)sd_bus_message_unref(m);
    sd_bus_message_unref(call(m));
  }

  void strangeCall() {
    const std::string member = someText(in_);
    sd_bus_message* m = newCall(in_.PickValueInArray({"/", "/MenuBar", "/StatusNotifierItem"}),
                                in_.PickValueInArray({kMenu, kItem, "org.freedesktop.DBus.Peer",
                                                      "org.freedesktop.DBus.Introspectable"}),
                                isMemberName(member) ? member.c_str() : "Activate");
    if (!m || !appendArguments(m)) return (void)sd_bus_message_unref(m);
    sd_bus_message_unref(call(m));
  }

  void ask() {
    peers_.service.nextId = in_.ConsumeIntegral<std::uint32_t>();
    const int notified = peers_.service.notifications;
    // A host's text is ASCII, as the agent writes addresses.
    std::string address = someText(in_);
    std::erase_if(address, [](char c) { return c < ' ' || c > '~'; });
    const bool asked = question_->ask(address, [this](bool allowed) {
      require(!answered_, "answered twice");
      answered_ = allowed;
    });
    require(asked == (peers_.service.actions && !open_), "asks when it can");
    if (!asked) return;
    open_ = true;
    answered_.reset();
    until(
        peers_.loop, [&] { return peers_.service.notifications > notified; }, "Notify");
    peers_.service.barrier();
    id_ = peers_.service.nextId;
  }

  // ActionInvoked or NotificationClosed, from the service or from another peer; only the
  // service's, about the open question, answer it.
  void notificationSignal(bool fromService) {
    const bool invoked = in_.ConsumeBool();
    const std::uint32_t id = in_.ConsumeBool() ? id_ : in_.ConsumeIntegral<std::uint32_t>();
    // As it goes on the wire: a string ends at its first NUL.
    const std::string action =
        std::string(in_.ConsumeBool() ? in_.PickValueInArray({"allow", "deny"}) : someText(in_))
            .c_str();
    const std::string extra = in_.ConsumeBool() ? "" : anyType(in_);
    const bool before = answered_.has_value();
    const bool typed = peers_.service.signal(fromService ? nullptr : peers_.caller, invoked, id,
                                             action, extra, in_);
    const bool answers = fromService && typed && open_ && id_ != 0 && id == id_ &&
                         (!invoked || action == "allow" || action == "deny");
    if (answers && !before) expected_answer_ = invoked && action == "allow";
    if (answers) open_ = false;
    require(answered_ == expected_answer_, "answer", action);
  }

  void withdraw() {
    question_->withdraw();
    open_ = false, id_ = 0;
    answered_.reset(), expected_answer_.reset();
    peers_.service.barrier();
  }

  void delivered(const MenuItem& line) {
    require(!line.isSeparator(), "a separator delivered");
    ++deliveries_;
    deliverMenuAction(line, delegate_);
  }

  Peers& peers_;
  FuzzedDataProvider& in_;
  fakes::FakePlatform fake_;
  std::shared_ptr<AppDelegate> delegate_ = AppDelegate::create(fake_.platform());
  std::string tray_;
  const int notes_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  std::unique_ptr<SniStatusItem> item_;
  std::unique_ptr<TabletQuestion> question_;
  int deliveries_ = 0, expected_ = 0;
  bool open_ = false;
  std::uint32_t id_ = 0;
  std::optional<bool> answered_, expected_answer_;
};

}  // namespace
}  // namespace trovik::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static trovik::fuzz::Peers peers;
  FuzzedDataProvider in(data, size);
  trovik::fuzz::Run run(peers, in);
  for (int steps = 0; in.remaining_bytes() > 0 && steps < 32; ++steps) run.step();
  return 0;
}
