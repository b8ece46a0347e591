#include "discovery.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "platform/linux/dnssd/dns_sd_name.hpp"
#include "platform/linux/net/host_address.hpp"
#include "service/messages.hpp"

namespace trovik::remote {
namespace {

Endpoint toEndpoint(const AvahiAddress& address, AvahiIfIndex interface, std::uint16_t port) {
  if (address.proto == AVAHI_PROTO_INET) {
    return Endpoint::hostPort(net::hostOf(in_addr{address.data.ipv4.address}), port);
  }
  in6_addr v6;
  std::memcpy(&v6, address.data.ipv6.address, sizeof v6);
  const auto scope = IN6_IS_ADDR_LINKLOCAL(&v6) ? static_cast<std::uint32_t>(interface) : 0;
  return Endpoint::hostPort(net::hostOf(v6, scope), port);
}

// What the callbacks share; they all run inside avahi_simple_poll_loop on this thread.
struct Browse {
  AvahiSimplePoll* poll = nullptr;
  std::map<std::string, FoundAgent> agents;
  int resolving = 0;
  bool allForNow = false;
  std::optional<std::string> error;

  void finishIfDone() {
    if (allForNow && resolving == 0) avahi_simple_poll_quit(poll);
  }
  void fail(AvahiClient* client) {
    error = avahi_strerror(avahi_client_errno(client));
    avahi_simple_poll_quit(poll);
  }
};

void resolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
              AvahiResolverEvent event, const char* name, const char*, const char*,
              const char* host, const AvahiAddress* address, uint16_t port, AvahiStringList*,
              AvahiLookupResultFlags, void* data) {
  auto& browse = *static_cast<Browse*>(data);
  if (event == AVAHI_RESOLVER_FOUND && address) {
    FoundAgent found{name, host, toEndpoint(*address, interface, port)};
    // A service shows once per interface and protocol: keep one, IPv4 first, as it needs no
    // interface scope.
    auto [entry, added] = browse.agents.try_emplace(found.name, found);
    const bool keptIPv6 = entry->second.endpoint.host.description.find(':') != std::string::npos;
    if (!added && keptIPv6 && address->proto == AVAHI_PROTO_INET) entry->second = found;
  }
  avahi_service_resolver_free(resolver);
  --browse.resolving;
  browse.finishIfDone();
}

void browsed(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
             AvahiLookupResultFlags, void* data) {
  auto& browse = *static_cast<Browse*>(data);
  AvahiClient* client = avahi_service_browser_get_client(browser);
  switch (event) {
    case AVAHI_BROWSER_NEW:
      if (avahi_service_resolver_new(client, interface, protocol, name, type, domain,
                                     AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), resolved, &browse)) {
        ++browse.resolving;
      }
      break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
      browse.allForNow = true;
      browse.finishIfDone();
      break;
    case AVAHI_BROWSER_FAILURE:
      browse.fail(client);
      break;
    case AVAHI_BROWSER_REMOVE:
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
      break;
  }
}

void clientChanged(AvahiClient* client, AvahiClientState state, void* data) {
  if (state == AVAHI_CLIENT_FAILURE) static_cast<Browse*>(data)->fail(client);
}

void timedOut(AvahiTimeout*, void* data) {
  avahi_simple_poll_quit(static_cast<Browse*>(data)->poll);
}

}  // namespace

Discovery discoverAgents(std::chrono::milliseconds limit) {
  Discovery result;
  std::unique_ptr<AvahiSimplePoll, decltype(&avahi_simple_poll_free)> poll(avahi_simple_poll_new(),
                                                                           avahi_simple_poll_free);
  if (!poll) {
    result.daemonError = "cannot set up Avahi's event loop";
    return result;
  }
  Browse browse;
  browse.poll = poll.get();
  const AvahiPoll* api = avahi_simple_poll_get(poll.get());
  int error = 0;
  // Without NO_FAIL: a missing daemon is an answer here, not something to wait for.
  std::unique_ptr<AvahiClient, decltype(&avahi_client_free)> client(
      avahi_client_new(api, AvahiClientFlags(0), clientChanged, &browse, &error),
      avahi_client_free);
  if (!client) {
    result.daemonError = avahi_strerror(error);
    return result;
  }
  const std::string type(withoutTrailingDot(messages::kServiceType));
  const std::string domain(withoutTrailingDot(messages::kServiceDomain));
  if (!avahi_service_browser_new(client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(),
                                 domain.c_str(), AvahiLookupFlags(0), browsed, &browse)) {
    result.daemonError = avahi_strerror(avahi_client_errno(client.get()));
    return result;
  }
  timeval deadline{};
  avahi_elapse_time(&deadline, static_cast<unsigned>(limit.count()), 0);
  api->timeout_new(api, &deadline, timedOut, &browse);
  avahi_simple_poll_loop(poll.get());
  // The client takes its browser and resolvers with it; the poll, the timeout.
  client.reset();
  result.daemonError = browse.error;
  for (auto& [name, agent] : browse.agents) result.agents.push_back(std::move(agent));
  return result;
}

}  // namespace trovik::remote
