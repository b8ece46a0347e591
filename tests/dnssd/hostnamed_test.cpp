#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "namespace_env.hpp"
#include "platform/linux/desktop/linux_host_info.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;

// Stands in for systemd-hostnamed on the namespace's private system bus: answers
// Properties.Get for PrettyHostname, or, when `answering` is false, owns the name and
// never answers.
class FakeHostnamed {
 public:
  FakeHostnamed(std::string prettyHostname, bool answering) : pretty_(std::move(prettyHostname)) {
    if (sd_bus_new(&bus_) < 0) return;
    sd_bus_set_address(bus_, systemBusAddress().c_str());
    sd_bus_set_bus_client(bus_, 1);
    if (sd_bus_start(bus_) < 0 ||
        sd_bus_add_object(bus_, nullptr, "/org/freedesktop/hostname1", &FakeHostnamed::onCall,
                          this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.hostname1", 0) < 0) {
      return;
    }
    ready_ = true;
    if (answering) thread_ = std::thread([this] { serve(); });
  }
  ~FakeHostnamed() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (bus_) sd_bus_flush_close_unref(bus_);
  }
  bool ready() const { return ready_; }

 private:
  void serve() {
    while (!stop_) {
      if (sd_bus_process(bus_, nullptr) > 0) continue;
      sd_bus_wait(bus_, 50'000);
    }
  }

  static int onCall(sd_bus_message* call, void* self, sd_bus_error*) {
    if (!sd_bus_message_is_method_call(call, "org.freedesktop.DBus.Properties", "Get")) return 0;
    const char* interface = nullptr;
    const char* property = nullptr;
    if (sd_bus_message_read(call, "ss", &interface, &property) < 0) return 0;
    if (std::strcmp(property, "PrettyHostname") != 0) return 0;
    const auto& pretty = static_cast<FakeHostnamed*>(self)->pretty_;
    return sd_bus_reply_method_return(call, "v", "s", pretty.c_str());
  }

  std::string pretty_;
  sd_bus* bus_ = nullptr;
  bool ready_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class HostnamedName : public testing::Test {
 protected:
  void SetUp() override { TROVIK_REQUIRE_AVAHI_NAMESPACE(); }
};

TEST_F(HostnamedName, IsTheComputerNameWhenHostnamedHasOne) {
  FakeHostnamed hostnamed("Ada's Studio \xE2\x9C\x82", true);
  ASSERT_TRUE(hostnamed.ready());
  EXPECT_EQ(hostnamedPrettyHostname(systemBusAddress(), 1s), "Ada's Studio \xE2\x9C\x82");
  // The real sources, end to end: the system bus comes first.
  EXPECT_EQ(LinuxHostInfo().localizedName(), "Ada's Studio \xE2\x9C\x82");
}

TEST_F(HostnamedName, GivesNothingWhenEmptyAbsentOrSilent) {
  {
    FakeHostnamed empty("", true);
    ASSERT_TRUE(empty.ready());
    EXPECT_EQ(hostnamedPrettyHostname(systemBusAddress(), 1s), std::nullopt);
  }
  // Nobody owns the name, and this bus cannot start a service for it.
  EXPECT_EQ(hostnamedPrettyHostname(systemBusAddress(), 1s), std::nullopt);

  FakeHostnamed silent("Never Said", false);
  ASSERT_TRUE(silent.ready());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(hostnamedPrettyHostname(systemBusAddress(), 300ms), std::nullopt);
  // Bounded by our timeout rather than D-Bus's default of 25 s; generous for slow machines.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

}  // namespace
}  // namespace trovik
