// Discovery against a real avahi-daemon in a namespace of its own: what the advertiser
// publishes, how it lives through the daemon coming and going and a name that is taken, and
// the computer's name from hostnamed. (trovik-remote's list finds the whole program.)

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <mutex>

#include "avahi_namespace.hpp"
#include "platform/linux/desktop/linux_host_info.hpp"
#include "platform/linux/dnssd/avahi_advertiser.hpp"
#include "support/fake_bus_service.hpp"
#include "support/mailbox.hpp"
#include "support/process.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using dnssd_test::browse;
using dnssd_test::named;

constexpr auto kPatience = 15s;  // a registration probes for about a second

bool visible(const std::string& name, std::uint16_t port = 9876) {
  const auto found = named(browse(), name);
  return !found.empty() && found.front().port == port;
}

class DnsSdAdvertisement : public ::testing::Test {
 protected:
  void SetUp() override {
    TROVIK_REQUIRE_AVAHI_NAMESPACE();
    ASSERT_TRUE(dnssd_test::avahiDaemon("running") || dnssd_test::avahiDaemon("start"));
  }
  static ServiceDescription service(std::string name) {
    return {std::move(name), "_trovik._udp.", "local."};
  }
  std::vector<std::string> said() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // The advertiser's notes arrive on Avahi's thread.
  AvahiAdvertiser::Diagnostics sink() {
    return [this](std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
    };
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST_F(DnsSdAdvertisement, PublishesTheServiceAsAskedAndWithdrawsIt) {
  const std::string name =
      "Ada's Gr\xC3\xBC\xC3\x9F"
      "e. #1;x";  // what DNS-SD must escape
  auto advertiser = std::make_unique<AvahiAdvertiser>(sink());
  advertiser->advertise(service("First"), 9000);
  ASSERT_TRUE(test::waitUntil([] { return visible("First", 9000); }, kPatience));
  advertiser->advertise(service(name), 9876);  // replaces the first
  ASSERT_TRUE(test::waitUntil([&] { return visible(name) && !visible("First", 9000); }, kPatience));
  for (const auto& found : named(browse(), name)) {
    EXPECT_EQ(found.address, "127.0.0.1");
    EXPECT_EQ(found.txt, "");
  }
  advertiser->withdraw();
  EXPECT_TRUE(test::waitUntil([&] { return !visible(name); }, kPatience));
  advertiser->advertise(service(name), 9876);
  ASSERT_TRUE(test::waitUntil([&] { return visible(name); }, kPatience));
  advertiser.reset();  // and with it the registration
  EXPECT_TRUE(test::waitUntil([&] { return !visible(name); }, kPatience));
  EXPECT_TRUE(said().empty()) << ::testing::PrintToString(said());
}

TEST_F(DnsSdAdvertisement, ComesWithItsDaemonAndBackAfterEveryRestart) {
  ASSERT_TRUE(dnssd_test::avahiDaemon("stop"));
  AvahiAdvertiser advertiser(sink());
  advertiser.advertise(service("Survivor"), 9876);
  ASSERT_TRUE(test::waitUntil([&] { return !said().empty(); }, kPatience));
  ASSERT_TRUE(dnssd_test::avahiDaemon("start"));
  EXPECT_TRUE(test::waitUntil([] { return visible("Survivor"); }, 10s));
  for (const char* how : {"kill", "stop"}) {
    ASSERT_TRUE(dnssd_test::avahiDaemon(how));
    ASSERT_TRUE(dnssd_test::avahiDaemon("start"));
    EXPECT_TRUE(test::waitUntil([] { return visible("Survivor"); }, 10s)) << how;
  }
  // Said once for the absence at the start, and at most once for each restart it noticed.
  const auto lines = said();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0],
            "trovik-helper: dns-sd: avahi-daemon is not running; the service will be advertised "
            "once it starts");
  EXPECT_LE(lines.size(), 3u) << ::testing::PrintToString(lines);
}

TEST_F(DnsSdAdvertisement, ANameTakenByAnotherPublisherIsRenamedAndBothStayVisible) {
  test::Process other({{"avahi-publish", "-s", "Shared", "_trovik._udp", "4242"}});
  ASSERT_TRUE(test::waitUntil([] { return visible("Shared", 4242); }, kPatience));
  AvahiAdvertiser advertiser(sink());
  advertiser.advertise(service("Shared"), 9876);
  EXPECT_TRUE(test::waitUntil([] { return visible("Shared #2"); }, kPatience));
  EXPECT_TRUE(visible("Shared", 4242));
  EXPECT_EQ(said(), std::vector<std::string>{"trovik-helper: dns-sd: the service name \"Shared\" "
                                             "is taken; advertising as \"Shared #2\""});
}

// Stands in for systemd-hostnamed on the namespace's system bus: it answers with `pretty`,
// or owns the name and never says a word.
std::unique_ptr<test::FakeBusService> hostnamed(const char* pretty, bool answering) {
  using Answer = test::FakeBusService::Answer;
  auto service = std::make_unique<test::FakeBusService>(
      systemBusAddress(), "org.freedesktop.hostname1", answering ? Answer::reply : Answer::hold,
      [pretty](sd_bus_message* call) {
        return sd_bus_reply_method_return(call, "v", "s", pretty);
      });
  EXPECT_TRUE(service->ready());
  return service;
}

TEST(HostnamedName, IsThePrettyHostnameOrNothingWithinItsTimeout) {
  TROVIK_REQUIRE_AVAHI_NAMESPACE();
  {
    const auto named = hostnamed("Ada's Studio \xE2\x9C\x82", true);
    EXPECT_EQ(LinuxHostInfo().localizedName(), "Ada's Studio \xE2\x9C\x82");
  }
  {
    const auto empty = hostnamed("", true);
    EXPECT_EQ(hostnamedPrettyHostname(systemBusAddress(), 1s), std::nullopt);
  }
  EXPECT_EQ(hostnamedPrettyHostname(systemBusAddress(), 1s), std::nullopt);  // nobody there
  const auto silent = hostnamed("Never Said", false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(hostnamedPrettyHostname(systemBusAddress(), 300ms), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // not D-Bus's own 25 s
}

}  // namespace
}  // namespace trovik
