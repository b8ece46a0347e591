#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/net/service_advertiser.hpp"

struct AvahiThreadedPoll;
struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiTimeout;

namespace trovik {

// DNS-SD registration through avahi-daemon, driven by Avahi's own poll thread.
//
// advertise() and withdraw() take the poll thread's own lock and change the registration in
// place. The client connects when a registration is first wanted, renames on a name
// collision ("Name" becomes "Name #2"), and registers again, from the name asked for,
// whenever the daemon appears, restarts or the connection is lost. Diagnostics, one line
// each on that thread, say that the daemon is missing (once per absence), that the service
// was renamed, or that a registration failed.
class AvahiAdvertiser final : public ServiceAdvertiser {
 public:
  // Receives each diagnostic line, prefix included, without its line break.
  using Diagnostics = std::function<void(std::string_view line)>;

  // How long to wait before connecting again when there is no system bus, or the client
  // failed for another reason than a lost connection.
  static constexpr std::chrono::milliseconds kReconnectInterval{3000};

  // Queues each line for standard error.
  static void standardError(std::string_view line);

  explicit AvahiAdvertiser(Diagnostics diagnostics = standardError);
  // Stops the poll thread and closes the connection, which ends the registration.
  // Must not run on the poll thread, i.e. not from inside `diagnostics`.
  ~AvahiAdvertiser() override;
  AvahiAdvertiser(const AvahiAdvertiser&) = delete;
  AvahiAdvertiser& operator=(const AvahiAdvertiser&) = delete;

  void advertise(const ServiceDescription& service, std::uint16_t port) override;
  void withdraw() override;

 private:
  struct Registration {
    ServiceDescription service;
    std::uint16_t port = 0;
    bool operator==(const Registration& other) const {
      return service.name == other.service.name && service.type == other.service.type &&
             service.domain == other.service.domain && port == other.port;
    }
  };

  // With the poll thread's lock held, or on that thread; Callbacks holds the C entry points
  // that Avahi calls.
  struct Callbacks;
  void apply(std::optional<Registration> wanted);
  void connect();
  void dropClient();
  void resetGroup();
  void scheduleReconnect(std::chrono::milliseconds delay);
  void publish();
  bool takeAlternativeName();
  void report(std::string_view message);
  void reportAbsence(std::string_view message);

  Diagnostics diagnostics_;
  AvahiThreadedPoll* poll_ = nullptr;

  // Guarded by the poll thread's lock.
  AvahiTimeout* reconnect_ = nullptr;
  bool reconnectArmed_ = false;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  std::optional<Registration> applied_;
  std::string name_;  // the name being registered, after any renames
  bool absenceReported_ = false;
};

}  // namespace trovik
