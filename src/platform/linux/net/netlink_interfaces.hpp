#pragma once

#include <linux/netlink.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <cstdint>
#include <map>
#include <memory>

#include "platform/linux/net/local_networks.hpp"

namespace trovik::net {

// Follows this computer's interfaces, their flags and their address prefixes over rtnetlink,
// and publishes the table to `networks` after each change: a dump at construction, then the
// kernel's link and address notifications, read on `context`'s threads as they come. When the
// kernel had to drop notifications, the table is dumped anew. Where rtnetlink cannot be read,
// the table stays unknown (every source admitted), which is said once on standard error.
class NetlinkInterfaces {
 public:
  NetlinkInterfaces(asio::io_context& context, LocalNetworks& networks);

  // Stops following. Only once the context's threads have stopped.
  void close();

 private:
  using Table = std::map<int, Interface>;

  void wait();
  void onReadable(const std::error_code& error);
  // Replaces the table with a fresh dump; false, with the table unknown, when none was had.
  bool dump();
  void giveUp(const char* step, int error);
  void publish();

  LocalNetworks& networks_;
  asio::posix::stream_descriptor notifications_;
  Table table_;
  std::unique_ptr<std::uint8_t[]> buffer_;
};

}  // namespace trovik::net
