#pragma once

// Deterministic fakes of every platform service: nothing happens until the test says so,
// and each records what the agent did with it.

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/linux/icu_text.hpp"
#include "platform/platform.hpp"

namespace trovik::fakes {

inline std::optional<NetworkError> failure(const std::optional<std::string>& error) {
  return error ? std::optional(NetworkError{1, *error}) : std::nullopt;
}

// Runs queued tasks only when asked, so every interleaving is the test's choice.
class ManualQueue final : public WorkQueue {
 public:
  void async(std::function<void()> task) override {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  // Until none is left, tasks queued meanwhile included; how many ran.
  int runAll() {
    int ran = 0;
    for (std::unique_lock lock(mutex_); !tasks_.empty(); ++ran, lock.lock()) {
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
    }
    return ran;
  }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

// The main loop on virtual time.
class FakeRunLoop final : public RunLoop {
 public:
  void post(std::function<void()> task) override { posted_.async(std::move(task)); }
  std::shared_ptr<Timer> scheduleRepeating(std::chrono::milliseconds interval,
                                           std::function<void()> tick) override {
    auto timer = std::make_shared<FakeTimer>(interval, now_ + interval, std::move(tick));
    timers_.push_back(timer);
    return timer;
  }
  std::shared_ptr<Timer> scheduleOnce(std::chrono::milliseconds delay,
                                      std::function<void()> task) override {
    auto timer =
        std::make_shared<FakeTimer>(std::chrono::milliseconds{0}, now_ + delay, std::move(task));
    timers_.push_back(timer);
    return timer;
  }
  bool isCurrentThread() const override { return std::this_thread::get_id() == mainThread_; }
  void run() override { posted_.runAll(); }
  void stop() override {}
  int runPending() { return posted_.runAll(); }
  // Moves virtual time on, firing each timer as often as its time comes.
  void advance(std::chrono::milliseconds by) {
    now_ += by;
    for (std::size_t i = 0; i < timers_.size(); ++i) {  // a tick may add timers
      const auto timer = timers_[i].lock();
      for (; timer && timer->valid && timer->due <= now_; timer->due += timer->interval) {
        timer->valid = timer->interval.count() > 0;  // a one-shot timer fires once
        timer->tick();
        runPending();
      }
    }
  }

 private:
  struct FakeTimer final : Timer {
    FakeTimer(std::chrono::milliseconds interval, std::chrono::milliseconds due,
              std::function<void()> tick)
        : interval(interval), due(due), tick(std::move(tick)) {}
    void invalidate() override { valid = false; }
    std::chrono::milliseconds interval, due;
    std::function<void()> tick;
    bool valid = true;
  };
  const std::thread::id mainThread_ = std::this_thread::get_id();
  ManualQueue posted_;
  std::vector<std::weak_ptr<FakeTimer>> timers_;
  std::chrono::milliseconds now_{0};
};

// A flow the test drives; every callback goes through the queue it was started on.
class FakeConnection final : public Connection {
 public:
  explicit FakeConnection(Endpoint endpoint) : endpoint_(std::move(endpoint)) {}
  Endpoint endpoint() const override { return endpoint_; }
  void setStateHandler(StateHandler handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  void start(WorkQueue& queue) override {
    std::lock_guard lock(mutex_);
    queue_ = &queue;
  }
  void receiveMessage(ReceiveCompletion completion) override {
    std::lock_guard lock(mutex_);
    receive_ = std::move(completion);
  }
  void send(SharedBytes content, SendCompletion completion) override {
    {
      std::lock_guard lock(mutex_);
      sent_.emplace_back(content->begin(), content->end());
      queue_->async([completion = std::move(completion), outcome = failure(sendError)] {
        completion(outcome);
      });
    }
    if (onSend) onSend();
  }
  // As a real flow does, ends a receive that waits.
  void cancel() override {
    completeReceive(std::nullopt, "Operation canceled");
    reportState(ConnectionState::Kind::cancelled);
  }

  void reportState(ConnectionState::Kind kind, std::optional<std::string> error = {}) {
    std::lock_guard lock(mutex_);
    if (!handler_ || !queue_) return;
    queue_->async(
        [handler = handler_, state = ConnectionState{kind, failure(error)}] { handler(state); });
  }
  // Hands the pending receive its outcome; false when none is armed.
  bool completeReceive(std::optional<std::string> content, std::optional<std::string> error = {}) {
    std::lock_guard lock(mutex_);
    if (!receive_ || !queue_) return false;
    std::optional<Bytes> bytes;
    if (content) bytes.emplace(content->begin(), content->end());
    queue_->async([completion = std::move(*receive_), bytes, failure = failure(error)] {
      completion(bytes, failure);
    });
    receive_.reset();
    return true;
  }
  std::vector<std::string> datagrams() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  std::optional<std::string> sendError;  // later sends fail with it
  std::function<void()> onSend;          // runs as each send is issued
  void release() {                       // drops the callbacks, which may hold this connection
    std::lock_guard lock(mutex_);
    receive_.reset();
    handler_ = nullptr;
  }

 private:
  const Endpoint endpoint_;
  mutable std::mutex mutex_;
  StateHandler handler_;
  WorkQueue* queue_ = nullptr;
  std::optional<ReceiveCompletion> receive_;
  std::vector<std::string> sent_;
};

class FakeListener final : public Listener {
 public:
  void setService(ServiceDescription service) override { this->service = std::move(service); }
  void setNewConnectionHandler(NewConnectionHandler handler) override {
    newConnection_ = std::move(handler);
  }
  void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
  void start(WorkQueue& queue) override { queue_ = &queue; }
  // A new peer's flow, handed over through the queue.
  std::shared_ptr<FakeConnection> connect(const std::string& host, std::uint16_t port) {
    auto flow = std::make_shared<FakeConnection>(
        Endpoint::hostPort(Host{host, Bytes(host.begin(), host.end())}, port));
    flows.push_back(flow);
    if (queue_ && newConnection_)
      queue_->async([handler = newConnection_, flow] { handler(flow); });
    return flow;
  }
  void reportState(ListenerState::Kind kind, std::optional<std::string> error = {}) {
    if (!queue_ || !stateHandler_) return;
    queue_->async(
        [handler = stateHandler_, state = ListenerState{kind, failure(error)}] { handler(state); });
  }
  std::optional<ServiceDescription> service;
  std::vector<std::shared_ptr<FakeConnection>> flows;

 private:
  NewConnectionHandler newConnection_;
  StateHandler stateHandler_;
  WorkQueue* queue_ = nullptr;
};

class FakeNetwork final : public Network {
 public:
  ~FakeNetwork() override {
    // Pending completions own their connections: break those cycles.
    if (listener) {
      listener->setNewConnectionHandler(nullptr);
      for (const auto& flow : listener->flows) flow->release();
    }
    for (const auto& channel : channels) channel->release();
  }
  ListenerResult makeListener(std::uint16_t, ConnectionParameters) override {
    if (listenerError) return {nullptr, *failure(listenerError)};
    listener = std::make_shared<FakeListener>();
    return {listener, {}};
  }
  std::shared_ptr<Connection> makeConnection(Endpoint to, ConnectionParameters) override {
    auto channel = std::make_shared<FakeConnection>(std::move(to));
    std::lock_guard lock(mutex_);
    channels.push_back(channel);
    return channel;
  }
  std::optional<std::string> listenerError;  // creation fails with it
  std::shared_ptr<FakeListener> listener;
  std::vector<std::shared_ptr<FakeConnection>> channels;  // every one made, in order

 private:
  std::mutex mutex_;
};

struct Press {
  KeyCode key;
  bool shift;
  bool operator==(const Press&) const = default;
};

// Records the presses that reach the system, from any thread; with `refuses`, none does.
class FakeKeyboard final : public Keyboard {
 public:
  bool press(KeyCode key, bool shift) override {
    std::lock_guard lock(mutex_);
    return !refuses && (presses_.push_back({key, shift}), true);
  }
  std::vector<Press> presses() const {
    std::lock_guard lock(mutex_);
    return presses_;
  }
  std::atomic<bool> refuses{false};

 private:
  mutable std::mutex mutex_;
  std::vector<Press> presses_;
};

class FakeTrust final : public Trust {
 public:
  // With `flips`, access is lost or regained right after each answer.
  bool isProcessTrusted() override { return flips ? trusted.exchange(!trusted) : trusted.load(); }
  bool isProcessTrustedWithPrompt() override { return ++prompts, trusted.load(); }
  bool isScreenLocked() override { return locked; }
  void setChangeHandler(std::function<void()> changed) override { changed_ = std::move(changed); }
  // Locks or unlocks the screen, which keys wait for, and says so as the desktop does.
  void lock(bool on) {
    locked = on;
    trusted = !on;
    if (changed_) changed_();
  }
  std::atomic<bool> trusted{true};
  std::atomic<bool> locked{false};
  std::atomic<bool> flips{false};
  std::atomic<int> prompts{0};

 private:
  std::function<void()> changed_;
};

// Trusts loopback hosts and those allowed; the questions wait for the test's answer.
class FakeTablets final : public Tablets {
 public:
  bool isTrusted(const Host& host) override {
    std::lock_guard lock(mutex_);
    return host.description.starts_with("127.") || host.description == "::1" ||
           trusted_.contains(host.description);
  }
  void trust(const Host& host) override {
    std::lock_guard lock(mutex_);
    trusted_.insert(host.description);
  }
  void forgetAll() override {
    std::lock_guard lock(mutex_);
    trusted_.clear();
  }
  void setChangeHandler(std::function<void()>) override {}  // nothing else changes the list
  bool ask(const std::string& address, std::function<void(bool)> answer) override {
    asked.push_back(address);
    if (!canAsk) return false;
    answer_ = std::move(answer);
    return true;
  }
  void withdraw() override { answer_ = nullptr; }
  // The user's answer to the open question; false when none is open.
  bool answer(bool allowed) {
    if (!answer_) return false;
    std::exchange(answer_, nullptr)(allowed);
    return true;
  }
  bool canAsk = true;  // false: no notification service with actions
  std::vector<std::string> asked;

 private:
  std::mutex mutex_;
  std::set<std::string> trusted_;
  std::function<void(bool)> answer_;
};

class FakeLog final : public Log {
 public:
  void line(std::string_view text) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(text);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class FakeWorkspace final : public Workspace {
 public:
  std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
  void addActivationObserver(ActivationHandler handler) override { observer_ = std::move(handler); }
  bool openURL(const std::string&) override { return true; }
  void activate(const std::string& bundleID) { observer_(RunningApplication{bundleID}); }

 private:
  ActivationHandler observer_;
};

class FakeStatusBar final : public StatusBar, public StatusItem, public StatusBarButton {
 public:
  std::shared_ptr<StatusItem> statusItemWithLength(double) override {
    return std::shared_ptr<StatusItem>(std::shared_ptr<void>(), this);  // held by the fixture
  }
  StatusBarButton* button() override { return this; }
  void setMenu(std::shared_ptr<Menu> menu) override { this->menu = std::move(menu); }
  void setImage(const std::string&, const std::string&) override {}
  std::shared_ptr<Menu> menu;
};

class FakeHostInfo final : public HostInfo {
 public:
  std::optional<std::string> localizedName() override { return name; }
  std::optional<std::string> name = "Studio";
};

// Register and unregister move the status, unless they are told to fail.
class FakeLoginItems final : public LoginItems {
 public:
  LoginItemStatus status() override { return current; }
  std::optional<std::string> registerItem() override { return change("register", afterRegister); }
  std::optional<std::string> unregisterItem() override {
    return change("unregister", LoginItemStatus::notRegistered);
  }
  void openSystemSettingsLoginItems() override { ++settingsOpened; }
  LoginItemStatus current = LoginItemStatus::notRegistered;
  LoginItemStatus afterRegister = LoginItemStatus::enabled;
  std::optional<std::string> error;  // register and unregister fail with it
  std::vector<std::string> calls;
  int settingsOpened = 0;

 private:
  std::optional<std::string> change(const std::string& call, LoginItemStatus after) {
    calls.push_back(call);
    if (!error) current = after;
    return error;
  }
};

class FakeSystem final : public UserDefaults, public Bundle, public Application {
 public:
  std::optional<bool> storedBool(const std::string& key) override {
    const auto found = defaults.find(key);
    return found == defaults.end() ? std::nullopt : std::optional(found->second);
  }
  void setBool(bool value, const std::string& key) override { defaults[key] = value; }
  std::string bundlePath() override { return path; }
  std::string installedPrefix() override { return "/Applications/"; }
  void setActivationPolicy(ActivationPolicy) override {}
  void terminate() override {}
  std::map<std::string, bool> defaults;
  std::string path = "/Applications/Trovik Helper.app";
};

// Every service faked, but the Unicode text operations, which are the real ones.
struct FakePlatform {
  explicit FakePlatform(WorkQueue* queue = nullptr) : queue(queue ? *queue : manualQueue) {}
  Platform platform() {
    return Platform{runLoop,   queue,     network,  keyboard, trust,  tablets, log,   text,
                    workspace, statusBar, hostInfo, login,    system, system,  system};
  }
  // Runs network callbacks and main-thread tasks until both are quiet.
  void settle() {
    while (manualQueue.runAll() + runLoop.runPending() > 0) {
    }
  }

  FakeRunLoop runLoop;
  ManualQueue manualQueue;
  WorkQueue& queue;
  FakeNetwork network;
  FakeKeyboard keyboard;
  FakeTrust trust;
  FakeTablets tablets;
  FakeLog log;
  IcuText text;
  FakeWorkspace workspace;
  FakeStatusBar statusBar;
  FakeHostInfo hostInfo;
  FakeLoginItems login;
  FakeSystem system;
};

}  // namespace trovik::fakes
