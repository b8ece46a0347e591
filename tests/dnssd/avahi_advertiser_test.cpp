#include "platform/linux/dnssd/avahi_advertiser.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "browse.hpp"
#include "namespace_env.hpp"
#include "platform/linux/dnssd/dns_sd_name.hpp"
#include "platform/linux/desktop/linux_host_info.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using dnssd_test::browse;
using dnssd_test::describe;
using dnssd_test::eventually;
using dnssd_test::named;

constexpr std::uint16_t kPort = 9876;
constexpr auto kPatience = 15s;  // registration takes a probe of about a second

// Collects the advertiser's diagnostic lines; they arrive on Avahi's poll thread.
class Lines {
 public:
  AvahiAdvertiser::Diagnostics sink() {
    return [this](std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
    };
  }
  std::vector<std::string> get() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

ServiceDescription service(std::string name) {
  return ServiceDescription{std::move(name), "_trovik._udp.", "local."};
}

bool visible(const std::string& name) {
  return !named(browse(), name).empty();
}

class DnsSdAdvertisement : public testing::Test {
 protected:
  void SetUp() override {
    TROVIK_REQUIRE_AVAHI_NAMESPACE();
    if (!dnssd_test::avahiDaemon("running")) {
      ASSERT_TRUE(dnssd_test::avahiDaemon("start"));
    }
  }
  void TearDown() override {
    if (!dnssd_test::namespaceUnavailable()) {
      EXPECT_TRUE(dnssd_test::avahiDaemon("peer-stop"));
    }
  }

  Lines lines_;
};

TEST_F(DnsSdAdvertisement, ResolvesWithNameTypeDomainPortAndEmptyTxtUntilWithdrawn) {
  // The agent's own name when this namespace has one, behind characters DNS-SD must escape.
  const std::string name = LinuxHostInfo().localizedName().value_or("Mac") +
                           "'s Gr\xC3\xBC\xC3\x9F"
                           "e. #1;x";
  AvahiAdvertiser advertiser(lines_.sink());
  advertiser.advertise(service(name), kPort);

  std::vector<dnssd_test::ResolvedService> seen;
  ASSERT_TRUE(eventually(kPatience, [&] { return !named(seen = browse(), name).empty(); }))
      << describe(seen);
  for (const auto& s : named(seen, name)) {
    EXPECT_EQ(s.type, "_trovik._udp");
    EXPECT_EQ(s.domain, "local");
    EXPECT_EQ(s.port, kPort);
    EXPECT_EQ(s.address, "127.0.0.1");
    EXPECT_EQ(s.txt, "");
  }

  advertiser.withdraw();
  EXPECT_TRUE(eventually(kPatience, [&] { return named(seen = browse(), name).empty(); }))
      << describe(seen);
  EXPECT_TRUE(lines_.get().empty()) << testing::PrintToString(lines_.get());
}

TEST_F(DnsSdAdvertisement, ANewAdvertisementReplacesTheOldAndDestructionEndsIt) {
  auto advertiser = std::make_unique<AvahiAdvertiser>(lines_.sink());
  advertiser->advertise(service("First Name"), kPort);
  ASSERT_TRUE(eventually(kPatience, [] { return visible("First Name"); }));

  advertiser->advertise(service("Second Name"), 9000);
  std::vector<dnssd_test::ResolvedService> seen;
  ASSERT_TRUE(eventually(kPatience, [&] {
    seen = browse();
    return named(seen, "First Name").empty() && !named(seen, "Second Name").empty();
  })) << describe(seen);
  EXPECT_EQ(named(seen, "Second Name").front().port, 9000);

  advertiser.reset();
  EXPECT_TRUE(eventually(kPatience, [] { return !visible("Second Name"); }));
}

TEST_F(DnsSdAdvertisement, LongNameIsAdvertisedShortenedAtACharacterBoundary) {
  std::string name;
  for (int i = 0; i < 40; ++i) name += "\xC3\xA9";  // 80 bytes of "é"
  const std::string expected = name.substr(0, 62);

  AvahiAdvertiser advertiser(lines_.sink());
  advertiser.advertise(service(name), kPort);
  std::vector<dnssd_test::ResolvedService> seen;
  EXPECT_TRUE(eventually(kPatience, [&] { return !named(seen = browse(), expected).empty(); }))
      << describe(seen);
}

TEST_F(DnsSdAdvertisement, ComesBackWithinTenSecondsAfterTheDaemonRestarts) {
  AvahiAdvertiser advertiser(lines_.sink());
  advertiser.advertise(service("Restart Survivor"), kPort);
  ASSERT_TRUE(eventually(kPatience, [] { return visible("Restart Survivor"); }));

  for (const char* how : {"kill", "stop"}) {
    SCOPED_TRACE(how);
    ASSERT_TRUE(dnssd_test::avahiDaemon(how));
    ASSERT_TRUE(dnssd_test::avahiDaemon("start"));
    const auto restarted = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually(10s, [] { return visible("Restart Survivor"); }));
    EXPECT_LE(std::chrono::steady_clock::now() - restarted, 10s);
  }
  // A daemon that was back before we noticed needs no word; one that was not, one line each.
  EXPECT_LE(lines_.get().size(), 2u) << testing::PrintToString(lines_.get());
}

TEST_F(DnsSdAdvertisement, WithdrawnWhileTheDaemonIsAwayStaysWithdrawnWhenItReturns) {
  AvahiAdvertiser advertiser(lines_.sink());
  advertiser.advertise(service("Gone For Good"), kPort);
  ASSERT_TRUE(eventually(kPatience, [] { return visible("Gone For Good"); }));

  ASSERT_TRUE(dnssd_test::avahiDaemon("kill"));
  advertiser.withdraw();
  ASSERT_TRUE(dnssd_test::avahiDaemon("start"));
  // Another publisher's service marks a moment after our client has reconnected and would
  // have registered again.
  dnssd_test::BackgroundProcess marker({"avahi-publish", "-s", "Marker", "_trovik._udp", "1"});
  std::vector<dnssd_test::ResolvedService> seen;
  ASSERT_TRUE(eventually(kPatience, [&] { return !named(seen = browse(), "Marker").empty(); }));
  EXPECT_TRUE(named(seen, "Gone For Good").empty()) << describe(seen);
}

TEST_F(DnsSdAdvertisement, CollisionWithAnotherPublisherRenamesOursAndBothStayVisible) {
  dnssd_test::BackgroundProcess other(
      {"avahi-publish", "-s", "Shared Name", "_trovik._udp", "4242"});
  ASSERT_TRUE(other.started());
  std::vector<dnssd_test::ResolvedService> seen;
  ASSERT_TRUE(eventually(kPatience, [&] { return !named(seen = browse(), "Shared Name").empty(); }))
      << describe(seen);

  AvahiAdvertiser advertiser(lines_.sink());
  advertiser.advertise(service("Shared Name"), kPort);
  ASSERT_TRUE(eventually(kPatience, [&] {
    return !named(seen = browse(), "Shared Name #2").empty();
  })) << describe(seen);
  EXPECT_EQ(named(seen, "Shared Name #2").front().port, kPort);
  ASSERT_FALSE(named(seen, "Shared Name").empty()) << describe(seen);
  EXPECT_EQ(named(seen, "Shared Name").front().port, 4242);

  const auto lines = lines_.get();
  ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0],
            "trovik-helper: dns-sd: the service name \"Shared Name\" is taken; advertising as "
            "\"Shared Name #2\"");
}

TEST_F(DnsSdAdvertisement, CollisionWithAnotherHostRenamesOursAndBothStayVisible) {
  ASSERT_TRUE(dnssd_test::avahiDaemon("peer-start", {"Network Name", "4242"}));
  std::vector<dnssd_test::ResolvedService> seen;
  ASSERT_TRUE(eventually(kPatience, [&] {
    return !named(seen = browse(), "Network Name").empty();
  })) << describe(seen);

  // Our daemon probes, hears the other host defend the name, and reports a collision.
  AvahiAdvertiser advertiser(lines_.sink());
  advertiser.advertise(service("Network Name"), kPort);
  ASSERT_TRUE(eventually(kPatience, [&] {
    return !named(seen = browse(), "Network Name #2").empty();
  })) << describe(seen);
  EXPECT_EQ(named(seen, "Network Name #2").front().port, kPort);
  ASSERT_FALSE(named(seen, "Network Name").empty()) << describe(seen);
  EXPECT_EQ(named(seen, "Network Name").front().port, 4242);

  const auto lines = lines_.get();
  ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0],
            "trovik-helper: dns-sd: the service name \"Network Name\" is taken; advertising as "
            "\"Network Name #2\"");
}

TEST_F(DnsSdAdvertisement, WithoutDaemonSaysSoOnceAndAdvertisesWhenItStarts) {
  ASSERT_TRUE(dnssd_test::avahiDaemon("stop"));
  AvahiAdvertiser advertiser(lines_.sink());

  const auto before = std::chrono::steady_clock::now();
  advertiser.advertise(service("Late Daemon"), kPort);
  advertiser.withdraw();
  advertiser.advertise(service("Late Daemon"), kPort);
  // Only a hang guard: the calls hand their work to the poll thread.
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);

  ASSERT_TRUE(eventually(kPatience, [&] { return !lines_.get().empty(); }));
  ASSERT_TRUE(dnssd_test::avahiDaemon("start"));
  EXPECT_TRUE(eventually(10s, [] { return visible("Late Daemon"); }));

  const auto lines = lines_.get();
  ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0],
            "trovik-helper: dns-sd: avahi-daemon is not running; the service will be "
            "advertised once it starts");
}

// Runs in a child process of its own: libdbus reads the system bus address once per process.
// No system bus at first; then a bus, then a daemon on it.
[[noreturn]] void advertiseBeforeTheSystemBusExists() {
  const std::string state = "/run/trovik-avahi";
  const std::string address = "unix:path=" + state + "/late_bus_socket";
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  const auto fail = [](const std::string& why) {
    std::cerr << why << std::endl;
    std::_Exit(1);
  };
  if (!dnssd_test::avahiDaemon("stop")) fail("cannot stop the daemon on the usual bus");

  Lines lines;
  AvahiAdvertiser advertiser(lines.sink());
  advertiser.advertise(service("Late Bus"), kPort);
  if (!eventually(kPatience, [&] { return !lines.get().empty(); })) fail("no diagnostic line");

  const auto bus =
      dnssd_test::run({"sh", "-c",
                       "dbus-daemon --config-file=" + state + "/dbus.conf --address=" + address +
                           " --fork --print-pid >" + state + "/late_bus.pid"},
                      10s);
  if (bus.exitCode != 0) fail("cannot start the late bus");
  // Let the advertiser find the bus without a daemon first: still the same outage, no new line.
  const auto clientsOnBus = [] {
    const auto names =
        dnssd_test::run({"dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                         "/", "org.freedesktop.DBus.ListNames"},
                        5s);
    std::size_t count = 0;
    for (auto at = names.output.find("\":"); at != std::string::npos;
         at = names.output.find("\":", at + 1)) {
      ++count;
    }
    return count;
  };
  // One unique name is dbus-send's own.
  if (!eventually(kPatience, [&] { return clientsOnBus() >= 2; })) fail("never joined the bus");
  const bool started = dnssd_test::avahiDaemon("start");  // inherits the late bus address
  const bool found = started && eventually(10s + AvahiAdvertiser::kReconnectInterval,
                                           [] { return visible("Late Bus"); });
  const auto said = lines.get();  // before the daemon leaves again, which is worth a line
  dnssd_test::avahiDaemon("stop");
  int busPid = 0;
  std::ifstream(state + "/late_bus.pid") >> busPid;
  if (busPid > 0) kill(busPid, SIGTERM);

  if (!started) fail("the daemon did not start on the late bus");
  if (!found) fail("not advertised after the bus and the daemon appeared");
  if (said.size() != 1) fail("expected one line, got " + testing::PrintToString(said));
  if (said[0].rfind("trovik-helper: dns-sd: cannot reach avahi-daemon over the system D-Bus: ",
                    0) != 0) {
    fail("unexpected line: " + said[0]);
  }
  std::_Exit(0);
}

TEST_F(DnsSdAdvertisement, WithoutSystemBusSaysSoOnceAndAdvertisesOnceBusAndDaemonAppear) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(advertiseBeforeTheSystemBusExists(), testing::ExitedWithCode(0), "");
  // Back to the usual bus for the tests that follow, whatever the child left behind.
  dnssd_test::avahiDaemon("stop");
  EXPECT_TRUE(dnssd_test::avahiDaemon("start"));
}

}  // namespace
}  // namespace trovik
