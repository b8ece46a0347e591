#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "editor/editor_id.hpp"
#include "platform/platform.hpp"
#include "service/messages.hpp"

namespace trovik {

// The one owner of the agent's state. Lives on the main thread; network callbacks reach it
// only through weak references and skip their delegate steps once it is gone.
//
// The clients (each with its flow and state channel) and activeEditorID are guarded by one
// mutex; nothing is sent, cancelled or posted while it is held.
class AppDelegate : public MenuActionTarget, public std::enable_shared_from_this<AppDelegate> {
 public:
  using ConnectionList = std::vector<std::shared_ptr<Connection>>;
  struct Client;

  static constexpr std::uint16_t port = messages::kCommandPort;
  static constexpr std::uint16_t statePort = messages::kStatePort;
  static constexpr std::string_view loginItemConfiguredKey = "loginItemConfigured";
  static constexpr std::string_view askBeforeNewTabletsKey = "askBeforeNewTablets";

  // The last reference may drop on any thread; destruction is handed to the main thread.
  static std::shared_ptr<AppDelegate> create(const Platform& platform);
  ~AppDelegate() override;

  // Launch: runs every start-up step in order on the main thread.
  void applicationDidFinishLaunching();

  // Status menu and its actions (main thread).
  void setupStatusItem();
  void quitApp();
  void openAccessibilityPrefs();
  void toggleLoginItem();
  void performAction(std::string_view action) override;

  // Keyboard-access monitor (main thread).
  void startAccessibilityMonitor();
  void checkAccessibility();

  // Open at login (main thread).
  void configureLoginItemIfNeeded();

  // Who may type. A host that is neither this computer nor trusted is not admitted while
  // asking is on; the user is asked about it instead (admits: any thread; the rest: main).
  bool admits(const Host& host);
  void askAbout(const Host& host);
  void allowWaitingTablet();
  void toggleAskBeforeNewTablets();
  void forgetTrustedTablets();
  // Drops the clients of hosts that may no longer type: their next datagram asks again.
  void removeUntrustedClients();

  // Command listener and its advertisement.
  void startListener();
  static void listenerDidChangeState(Log& log, const ListenerState& state);

  // Client registration and state channels (work queue).
  static void handleNewConnection(const std::weak_ptr<AppDelegate>& weak, const Platform& platform,
                                  const std::shared_ptr<Connection>& connection);
  static void stateChannelDidChangeState(const std::weak_ptr<AppDelegate>& weak,
                                         const Platform& platform,
                                         const std::weak_ptr<Client>& client,
                                         const std::string& hostText, const ConnectionState& state);

  // Command receiver (work queue).
  static void receiveNextMessage(const std::weak_ptr<AppDelegate>& weak, const Platform& platform,
                                 const std::shared_ptr<Connection>& connection);
  static void handleReceivedMessage(const std::weak_ptr<AppDelegate>& weak,
                                    const Platform& platform,
                                    const std::shared_ptr<Connection>& connection,
                                    const std::optional<Bytes>& content,
                                    const std::optional<NetworkError>& error);
  // Whether the command was handled: it names no key, or its press reached the system.
  // `trusted` is the one answer on keyboard access that the whole command follows.
  bool handleKeySpec(std::string_view text, bool trusted);

  // Broadcast and removal (any thread).
  void broadcastState(std::string_view message);
  static std::optional<std::string> hostString(const Endpoint& endpoint);
  void removeClient(const std::shared_ptr<Connection>& connection);

  // Editor tracking.
  std::array<std::string, 2> editorStateMessages() const;
  void updateActiveEditor(const editor::EditorID& editorID);
  void observeFrontmostApp();
  void appDidActivate(const std::optional<RunningApplication>& app);

  // Read access for the process's owner and for tests.
  std::shared_ptr<StatusItem> statusItem() const { return statusItem_; }
  std::shared_ptr<Listener> listener() const { return listener_; }
  std::shared_ptr<Listener> advertiser() const { return advertiser_; }
  editor::EditorID activeEditorID() const;
  ConnectionList clientConnections() const;
  ConnectionList stateConnections() const;
  std::shared_ptr<MenuItem> statusMenuItem() const { return statusMenuItem_; }
  std::optional<bool> lastAccessibilityState() const { return lastAccessibilityState_; }
  std::shared_ptr<Timer> accessibilityTimer() const { return accessibilityTimer_; }
  std::shared_ptr<MenuItem> loginMenuItem() const { return loginMenuItem_; }
  std::shared_ptr<MenuItem> allowMenuItem() const { return allowMenuItem_; }

 private:
  explicit AppDelegate(const Platform& platform);
  void refreshLoginCheckMark();
  // Lists a new client with its state channel, when it has a host; the channel is returned
  // unstarted.
  std::shared_ptr<Connection> registerClient(const std::shared_ptr<Connection>& flow,
                                             const Host* host);
  std::shared_ptr<Connection> openStateChannel(const Host& host,
                                               const std::shared_ptr<Client>& client);
  void finishRequest(bool allowed);
  // With mutex_ held: takes the client of `flow` off the list; null when it is not there.
  std::shared_ptr<Client> unlistLocked(const Connection& flow);

  Platform platform_;
  mutable std::mutex mutex_;  // guards the clients and activeEditorID_

  // Fields in the order the agent has always declared them.
  std::shared_ptr<StatusItem> statusItem_;
  std::shared_ptr<Listener> listener_;
  std::shared_ptr<Listener> advertiser_;  // never assigned: the listener carries the advertisement
  editor::EditorID activeEditorID_;
  // In order of arrival: clientConnections and stateConnections are theirs.
  std::list<std::shared_ptr<Client>> clients_;
  std::unordered_map<const Connection*, std::list<std::shared_ptr<Client>>::iterator> byFlow_;
  std::shared_ptr<MenuItem> statusMenuItem_;
  std::optional<bool> lastAccessibilityState_;
  std::shared_ptr<Timer> accessibilityTimer_;
  std::shared_ptr<MenuItem> loginMenuItem_;

  // Who may type (main thread, but the flag, which network threads read).
  struct Request {
    Host host;
    unsigned id;
    bool byMenu;
    std::shared_ptr<Timer> expiry;
  };
  std::atomic<bool> askBeforeNewTablets_{true};
  std::optional<bool> lastScreenLocked_;
  std::shared_ptr<MenuItem> askMenuItem_;
  std::shared_ptr<MenuItem> allowMenuItem_;  // hidden while no tablet waits to be allowed
  std::optional<Request> request_;
  unsigned requests_ = 0;
  std::map<std::string, std::shared_ptr<Timer>> ignored_;  // refused hosts, for a while
  std::deque<std::shared_ptr<Timer>> recentPrompts_;       // each leaves when it is old
};

// One registered client: its flow and the state channel back to its host.
struct AppDelegate::Client {
  std::shared_ptr<Connection> flow;
  std::shared_ptr<Connection> channel;  // none when the flow's endpoint has no host
  std::optional<Host> host;
  // Under the delegate's mutex: the channel's last reported state was ready, and it was given
  // the opening sequence for the state of that moment, so it hears every broadcast after it.
  bool ready = false;
  // Held from taking that state until the opening is sent, and around each broadcast send,
  // so that the opening always comes first.
  std::mutex sending;
};

}  // namespace trovik
