// trovik-remote finding the agent through a real avahi-daemon: runs under scripts/with-avahi.

#include <gmock/gmock.h>

#include <cstdlib>

#include "platform/linux/desktop/linux_host_info.hpp"
#include "remote_run.hpp"
#include "support/mailbox.hpp"

namespace trovik::e2e {
namespace {

TEST(RemoteList, FindsTheAgentByNameAndReachesItWithoutAnAddress) {
  const char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const char* control = std::getenv("TROVIK_AVAHI_CONTROL");
  TROVIK_REQUIRE_ENVIRONMENT(std::getenv("TROVIK_AVAHI_NETNS") && bus && control,
                             std::string("needs scripts/with-avahi: ") +
                                 (std::getenv("TROVIK_AVAHI_UNAVAILABLE") ?: "not inside it"));
  const std::vector<std::pair<std::string, std::string>> env{{"DBUS_SYSTEM_BUS_ADDRESS", bus}};
  const std::string name = LinuxHostInfo().localizedName().value_or("Mac");
  std::optional<AgentProcess> agent;
  agent.emplace(AgentOptions{{}, env});

  Finished listed;
  const auto list = [&] { return (listed = runRemote({"list", "--timeout", "2"}, env)).status; };
  ASSERT_TRUE(test::waitUntil([&] { return list() == 0; }, std::chrono::seconds(30))) << listed.err;
  ASSERT_EQ(listed.out.size(), 1u);
  EXPECT_THAT(listed.out[0],
              ::testing::MatchesRegex(name + "\ttrovik-ns\\.local\t[0-9a-f:.]+\t9876"));

  // Found by DNS-SD, it is reached: it answers that it may not type (no display here).
  for (const auto& to : {std::vector<std::string>{}, std::vector<std::string>{"--to", name}}) {
    std::vector<std::string> send{"send", "SPACE"};
    send.insert(send.end(), to.begin(), to.end());
    const auto sent = runRemote(send, env);
    EXPECT_EQ(sent.status, 3) << sent.err;
  }

  agent.reset();
  EXPECT_TRUE(test::waitUntil([&] { return list() == 1; }, std::chrono::seconds(30))) << listed.err;
  ASSERT_EQ(std::system((std::string(control) + " stop").c_str()), 0);
  EXPECT_EQ(list(), 2);
  EXPECT_THAT(listed.err, ::testing::StartsWith("trovik-remote: cannot reach avahi-daemon"));
}

}  // namespace
}  // namespace trovik::e2e
