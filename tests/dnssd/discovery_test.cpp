// Discovery against a real avahi-daemon in the namespace that scripts/with-avahi makes: how
// the advertiser lives through the daemon coming and going and a name that is taken.
// (trovik-remote's list finds the whole program by its name.)

#include <algorithm>

#include "platform/linux/dnssd/avahi_advertiser.hpp"
#include "support/mailbox.hpp"
#include "support/process.hpp"
#include "support/test_environment.hpp"

namespace trovik {

using namespace std::chrono_literals;

constexpr auto kPatience = 15s;  // a registration probes for about a second

// Whether avahi-browse, as any client, resolves `name` on `port` with no TXT data; it prints
// the name escaped (a space as \032, "#" as \035).
static bool visible(const std::string& name, std::uint16_t port = 9876) {
  test::Process browse({{"avahi-browse", "-rpt", "_trovik._udp"}, {}, {}, true});
  browse.waitForExit(20s);
  const std::string service = ";" + name + ";_trovik._udp;local;trovik-ns.local;127.0.0.1;";
  return std::ranges::any_of(browse.lines(), [&](const std::string& line) {
    return line.starts_with("=") && line.find(service) != std::string::npos &&
           line.ends_with(";" + std::to_string(port) + ";");
  });
}

class DnsSdAdvertisement : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = test::avahiNamespaceProblem();
    TROVIK_REQUIRE_ENVIRONMENT(why.empty(), why);
    ASSERT_TRUE(test::avahiDaemon("running") || test::avahiDaemon("start"));
  }
  static ServiceDescription service(std::string name) {
    return {std::move(name), "_trovik._udp.", "local."};
  }
  // The advertiser's notes, which arrive on Avahi's thread, and all of them taken so far.
  AvahiAdvertiser::Diagnostics sink() {
    return [this](std::string_view line) { notes.put(std::string(line)); };
  }
  std::vector<std::string> said() {
    while (auto note = notes.take(0ms)) taken.push_back(*note);
    return taken;
  }
  test::Mailbox<std::string> notes;
  std::vector<std::string> taken;
};

TEST_F(DnsSdAdvertisement, ComesWithItsDaemonAndBackAfterEveryRestartUntilWithdrawn) {
  ASSERT_TRUE(test::avahiDaemon("stop"));
  AvahiAdvertiser advertiser(sink());
  advertiser.advertise(service("First"), 9000);
  ASSERT_TRUE(test::waitUntil([&] { return !said().empty(); }, kPatience));
  ASSERT_TRUE(test::avahiDaemon("start"));
  EXPECT_TRUE(test::waitUntil([] { return visible("First", 9000); }, 10s));
  advertiser.advertise(service("Survivor"), 9876);  // replaces the first
  EXPECT_TRUE(test::waitUntil([] { return visible("Survivor") && !visible("First", 9000); }, 10s));
  for (const char* how : {"kill", "stop"}) {
    ASSERT_TRUE(test::avahiDaemon(how));
    ASSERT_TRUE(test::avahiDaemon("start"));
    EXPECT_TRUE(test::waitUntil([] { return visible("Survivor"); }, 10s)) << how;
  }
  advertiser.withdraw();
  EXPECT_TRUE(test::waitUntil([] { return !visible("Survivor"); }, kPatience));
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
  EXPECT_TRUE(test::waitUntil([] { return visible("Shared\\032\\0352"); }, kPatience));
  EXPECT_TRUE(visible("Shared", 4242));
  EXPECT_EQ(said(), std::vector<std::string>{"trovik-helper: dns-sd: the service name \"Shared\" "
                                             "is taken; advertising as \"Shared #2\""});
}

}  // namespace trovik
