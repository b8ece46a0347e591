#include "platform/linux/dnssd/avahi_advertiser.hpp"

#include "platform/linux/diagnostics.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <utility>

#include "platform/linux/dnssd/dns_sd_name.hpp"

namespace trovik {
namespace {

constexpr std::string_view kPrefix = "trovik-helper: dns-sd: ";
// A bound on renames in one go, should every alternative name be taken locally too.
constexpr int kMaxRenames = 100;

std::string quoted(std::string_view name) {
  return "\"" + std::string(name) + "\"";
}

}  // namespace

struct AvahiAdvertiser::Callbacks {
  static void reconnect(AvahiTimeout*, void* self) {
    auto* advertiser = static_cast<AvahiAdvertiser*>(self);
    advertiser->reconnectArmed_ = false;
    advertiser->dropClient();
    if (advertiser->applied_) advertiser->connect();
  }

  // May run inside avahi_client_new, before it returned the client: use `client`.
  static void clientState(AvahiClient* client, AvahiClientState state, void* self) {
    auto* advertiser = static_cast<AvahiAdvertiser*>(self);
    advertiser->client_ = client;
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        advertiser->absenceReported_ = false;
        advertiser->publish();
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The daemon is renaming the host; our records come back once it runs again.
        advertiser->resetGroup();
        break;
      case AVAHI_CLIENT_CONNECTING:
        advertiser->reportAbsence(
            "avahi-daemon is not running; the service will be advertised once it starts");
        break;
      case AVAHI_CLIENT_FAILURE:
        // Freeing the client here would pull it from under its own dispatch: replace it
        // from the poll loop instead.
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
          advertiser->scheduleReconnect(std::chrono::milliseconds(0));
        } else {
          advertiser->reportAbsence(std::string("the Avahi client failed: ") +
                                    avahi_strerror(avahi_client_errno(client)) + "; retrying");
          advertiser->scheduleReconnect(kReconnectInterval);
        }
        break;
    }
  }

  static void groupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    auto* advertiser = static_cast<AvahiAdvertiser*>(self);
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
      // Another host holds the name: take the next alternative and probe again.
      avahi_entry_group_reset(group);
      if (advertiser->takeAlternativeName()) advertiser->publish();
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
      advertiser->report("advertising " + quoted(advertiser->name_) + " failed: " +
                         avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
    }
  }
};

void AvahiAdvertiser::standardError(std::string_view line) {
  if (line.starts_with(kPrefix)) line.remove_prefix(kPrefix.size());
  diagnose("dns-sd", line);
}

AvahiAdvertiser::AvahiAdvertiser(Diagnostics diagnostics) : diagnostics_(std::move(diagnostics)) {
  poll_ = avahi_threaded_poll_new();
  if (!poll_) {
    report("cannot set up Avahi's event loop; the service will not be advertised");
    return;
  }
  // Set up before the thread starts, so no lock is needed yet.
  const AvahiPoll* api = avahi_threaded_poll_get(poll_);
  reconnect_ = api->timeout_new(api, nullptr, Callbacks::reconnect, this);
  if (!reconnect_ || avahi_threaded_poll_start(poll_) < 0) {
    report("cannot start Avahi's event loop; the service will not be advertised");
    avahi_threaded_poll_free(poll_);
    poll_ = nullptr;
  }
}

AvahiAdvertiser::~AvahiAdvertiser() {
  if (!poll_) return;
  // Once the thread has stopped, everything it owned is this thread's to free.
  avahi_threaded_poll_stop(poll_);
  dropClient();
  avahi_threaded_poll_free(poll_);
}

void AvahiAdvertiser::advertise(const ServiceDescription& service, std::uint16_t port) {
  if (!poll_) return;
  avahi_threaded_poll_lock(poll_);
  apply(Registration{service, port});
  avahi_threaded_poll_unlock(poll_);
}

void AvahiAdvertiser::withdraw() {
  if (!poll_) return;
  avahi_threaded_poll_lock(poll_);
  apply(std::nullopt);
  avahi_threaded_poll_unlock(poll_);
}

void AvahiAdvertiser::apply(std::optional<Registration> wanted) {
  if (wanted == applied_) return;
  applied_ = std::move(wanted);
  resetGroup();
  if (!applied_) return;

  const auto fitted = fitServiceName(applied_->service.name);
  if (!fitted) {
    report("cannot advertise the service name " + quoted(applied_->service.name) +
           ": it is empty or not valid UTF-8");
    applied_.reset();
    return;
  }
  name_ = *fitted;
  if (!client_ && !reconnectArmed_) {
    connect();
  } else {
    publish();
  }
}

void AvahiAdvertiser::connect() {
  if (applied_) name_ = fitServiceName(applied_->service.name).value_or(name_);
  int error = 0;
  // NO_FAIL: without a daemon the client waits in CONNECTING and comes up when it appears.
  client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                             Callbacks::clientState, this, &error);
  if (!client_) {
    reportAbsence(std::string("cannot reach avahi-daemon over the system D-Bus: ") +
                  avahi_strerror(error) + "; will keep trying");
    scheduleReconnect(kReconnectInterval);
  }
}

void AvahiAdvertiser::dropClient() {
  if (client_) avahi_client_free(client_);  // frees the group with it
  client_ = nullptr;
  group_ = nullptr;
}

void AvahiAdvertiser::resetGroup() {
  if (!group_ || !client_) return;
  // A failed client has closed its bus: the group's calls would have nowhere to go.
  const AvahiClientState state = avahi_client_get_state(client_);
  if (state == AVAHI_CLIENT_S_RUNNING || state == AVAHI_CLIENT_S_REGISTERING ||
      state == AVAHI_CLIENT_S_COLLISION) {
    avahi_entry_group_reset(group_);
  }
}

void AvahiAdvertiser::scheduleReconnect(std::chrono::milliseconds delay) {
  struct timeval when {};
  avahi_elapse_time(&when, static_cast<unsigned>(delay.count()), 0);
  avahi_threaded_poll_get(poll_)->timeout_update(reconnect_, &when);
  reconnectArmed_ = true;
}

void AvahiAdvertiser::publish() {
  if (!client_ || avahi_client_get_state(client_) != AVAHI_CLIENT_S_RUNNING) return;
  if (!applied_) return;
  if (!group_ && !(group_ = avahi_entry_group_new(client_, Callbacks::groupState, this))) {
    report(std::string("cannot create an Avahi entry group: ") +
           avahi_strerror(avahi_client_errno(client_)));
    return;
  }
  if (!avahi_entry_group_is_empty(group_)) return;

  const std::string type(withoutTrailingDot(applied_->service.type));
  const std::string domain(withoutTrailingDot(applied_->service.domain));
  for (int attempt = 0; attempt <= kMaxRenames; ++attempt) {
    // No TXT strings: Avahi then publishes the empty TXT record that DNS-SD requires.
    const int r = avahi_entry_group_add_service_strlst(
        group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name_.c_str(),
        type.c_str(), domain.empty() ? nullptr : domain.c_str(), nullptr, applied_->port, nullptr);
    if (r == AVAHI_ERR_COLLISION) {
      if (!takeAlternativeName()) return;
      continue;
    }
    if (r >= 0 && avahi_entry_group_commit(group_) >= 0) return;
    report("cannot advertise " + quoted(name_) + " as " + type + ": " +
           avahi_strerror(avahi_client_errno(client_)));
    avahi_entry_group_reset(group_);
    return;
  }
  report("cannot advertise: every alternative to " + quoted(applied_->service.name) + " is taken");
}

bool AvahiAdvertiser::takeAlternativeName() {
  char* alternative = avahi_alternative_service_name(name_.c_str());
  if (!alternative) {
    report("cannot find an alternative to the service name " + quoted(name_));
    return false;
  }
  report("the service name " + quoted(name_) + " is taken; advertising as " + quoted(alternative));
  name_ = alternative;
  avahi_free(alternative);
  return true;
}

void AvahiAdvertiser::report(std::string_view message) {
  if (diagnostics_) diagnostics_(std::string(kPrefix) + std::string(message));
}

void AvahiAdvertiser::reportAbsence(std::string_view message) {
  if (absenceReported_) return;
  absenceReported_ = true;
  report(message);
}

}  // namespace trovik
