#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "browse.hpp"
#include "namespace_env.hpp"
#include "platform/linux/desktop/linux_host_info.hpp"
#include "support/udp_peer.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using dnssd_test::browse;
using dnssd_test::describe;
using dnssd_test::eventually;
using dnssd_test::named;

// The whole program, as a tablet on the network finds it.
TEST(AgentDiscovery, TheRunningAgentIsFoundUnderTheComputersNameAndServesWhoFindsIt) {
  TROVIK_REQUIRE_AVAHI_NAMESPACE();
  if (!dnssd_test::avahiDaemon("running")) {
    ASSERT_TRUE(dnssd_test::avahiDaemon("start"));
  }
  const std::string name = LinuxHostInfo().localizedName().value_or("Mac");

  test::UdpPeer state("127.0.0.1", 9877);
  std::optional<dnssd_test::BackgroundProcess> agent;
  agent.emplace(std::vector<std::string>{TROVIK_HELPER_PATH});
  ASSERT_TRUE(agent->started());

  std::vector<dnssd_test::ResolvedService> seen;
  ASSERT_TRUE(eventually(15s, [&] { return !named(seen = browse(), name).empty(); }))
      << describe(seen);
  const auto found = named(seen, name).front();
  EXPECT_EQ(found.port, 9876);
  EXPECT_EQ(found.txt, "");

  // Reach it at the address the browse resolved, as the tablet would.
  test::UdpPeer tablet;
  tablet.sendTo("hello", found.port, found.address);
  std::vector<std::string> opening;
  for (int i = 0; i < 3; ++i) {
    auto text = state.receive(5s);
    ASSERT_TRUE(text) << "opening datagram " << i;
    opening.push_back(*text);
  }
  EXPECT_EQ(opening, (std::vector<std::string>{"fcp:inactive", "app:inactive", "ax:denied"}));

  agent.reset();  // quitting takes the service with it
  EXPECT_TRUE(eventually(15s, [&] { return named(seen = browse(), name).empty(); }))
      << describe(seen);
}

}  // namespace
}  // namespace trovik
