#pragma once

#include <cstdint>

#include "platform/network.hpp"

namespace trovik {

// DNS-SD registration behind the Linux listener: advertised while its socket is open.
// Thread-safe; returns at once. Failures are the advertiser's to report on standard error.
class ServiceAdvertiser {
 public:
  virtual ~ServiceAdvertiser() = default;
  // Registers `service` (type and domain as the agent writes them, trailing dots included)
  // for `port` on every interface, with no TXT record. Replaces an earlier registration.
  virtual void advertise(const ServiceDescription& service, std::uint16_t port) = 0;
  virtual void withdraw() = 0;
};

}  // namespace trovik
