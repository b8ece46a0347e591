// Host texts and socket addresses of the Asio network backend.

#include <gtest/gtest.h>
#include <net/if.h>

#include "platform/linux/net/socket_address.hpp"

namespace trovik::net {
namespace {

TEST(HostText, IsTheDottedQuadOrTheRfc5952FormWithItsScope) {
  const std::string loopbackName = [] {
    char name[IF_NAMESIZE] = {};
    return std::string(::if_indextoname(1, name) ? name : "1");
  }();
  const std::pair<std::string, std::string> cases[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"::ffff:192.0.2.7", "192.0.2.7"},  // IPv4-mapped: shown as IPv4
      {"::1", "::1"},
      {"::", "::"},
      {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero field stays
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // the first of equal runs goes
      {"fe80::1%1", "fe80::1%" + loopbackName},          // link-local: interface name
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(hostOf(asio::ip::make_address(input)).description, expected) << input;
  }
}

TEST(HostText, LeadsBackToTheSameSocketAddressFromBytesOrFromText) {
  for (const char* input : {"127.0.0.1", "::ffff:127.0.0.1", "::1", "fe80::1%1"}) {
    const auto address = asio::ip::make_address(input);
    const Host host = hostOf(address);
    const auto fromBytes = socketEndpointOf(Endpoint::hostPort(host, 9877));
    const auto fromText = socketEndpointOf(Endpoint::hostPort(Host{host.description, {}}, 9877));
    ASSERT_TRUE(fromBytes && fromText) << input;
    EXPECT_EQ(*fromBytes, *fromText) << input;
    EXPECT_EQ(fromBytes->port(), 9877);
    EXPECT_EQ(hostOf(fromBytes->address()).description, host.description);
  }
  // A mapped peer is reached over IPv4, as its text says.
  EXPECT_TRUE(
      socketEndpointOf(Endpoint::hostPort(hostOf(asio::ip::make_address("::ffff:127.0.0.1")), 1))
          ->address()
          .is_v4());
}

TEST(HostText, GivesNoSocketAddressForOtherEndpointsOrUnreadableHosts) {
  EXPECT_FALSE(socketEndpointOf(Endpoint::other("somewhere")));
  EXPECT_FALSE(socketEndpointOf(Endpoint::hostPort(Host{"tablet.local", {}}, 9877)));
  // Bytes that are no socket address fall back to the text.
  const auto stray = socketEndpointOf(Endpoint::hostPort(Host{"127.0.0.1", {1, 2, 3}}, 9877));
  ASSERT_TRUE(stray);
  EXPECT_EQ(stray->address().to_string(), "127.0.0.1");
}

}  // namespace
}  // namespace trovik::net
