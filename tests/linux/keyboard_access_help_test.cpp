// How the agent tells the user to grant keyboard access: a desktop notification when a
// service shows it, else one line, and never a wait on a service that does not answer; and
// the help page that the Accessibility link opens.

#include <gmock/gmock.h>

#include "platform/linux/desktop/notification_prompt.hpp"
#include "platform/linux/desktop/xdg_open.hpp"
#include "platform/linux/keyboard/linux_keyboard.hpp"
#include "support/fake_bus_service.hpp"
#include "support/private_bus.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using Answer = test::FakeBusService::Answer;

TEST(Prompt, AccessIsExplainedOnlyWhenAskedByNotificationElseInOneLineAndNeverWaitedFor) {
  std::string error;
  const auto bus = testing::PrivateBus::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(bus, "needs dbus-daemon: " + error);
  const auto notifications = [&](Answer answer) {
    auto service = std::make_unique<test::FakeBusService>(
        bus->address(), "org.freedesktop.Notifications", answer,
        [](sd_bus_message* call) { return sd_bus_reply_method_return(call, "u", 1u); });
    EXPECT_TRUE(service->ready());
    return service;
  };
  test::Pipe fallback;
  ::fcntl(fallback.read, F_SETFL, O_NONBLOCK);
  const auto fallen = [&] {  // what was written to the fallback so far
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(fallback.read, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
  };

  auto service = notifications(Answer::reply);
  LinuxKeyboard keyboard({.uinputPath = "/nonexistent/uinput",
                          .display = "",
                          .sessionBus = bus->address(),
                          .promptFallbackFd = fallback.write});
  EXPECT_FALSE(keyboard.isProcessTrusted());
  keyboard.press(18, true);  // goes nowhere, and does not fail
  EXPECT_FALSE(service->calls.take(0ms));
  EXPECT_FALSE(keyboard.isProcessTrustedWithPrompt());
  using namespace ::testing;  // application, icon, summary, body
  EXPECT_THAT(service->calls.take(10s),
              Optional(ElementsAre("Trovik Helper", _, "Trovik Helper needs keyboard access",
                                   AllOf(HasSubstr("/nonexistent/uinput is missing"),
                                         HasSubstr("70-trovik-helper-uinput.rules")))));
  service.reset();

  {
    auto held = notifications(Answer::hold);
    NotificationPrompt prompt(bus->address(), fallback.write);
    prompt.show("Needs access", "How");  // returns although nobody answers
    prompt.show("Again", "dropped while the first is in flight");
    EXPECT_TRUE(held->calls.take(1s));
    EXPECT_FALSE(held->calls.take(1s));
  }  // and its destruction abandons the call
  EXPECT_EQ(fallen(), "");
  for (Answer answer : {Answer::error, Answer::hold}) {
    auto refusing = answer == Answer::error ? notifications(answer) : nullptr;
    NotificationPrompt prompt(answer == Answer::error ? bus->address() : "unix:path=/nonexistent",
                              fallback.write);
    prompt.show("Needs access", "How");
    prompt.wait();
    EXPECT_EQ(fallen(), "trovik-helper: keyboard: Needs access: How\n");
  }
}

namespace fs = std::filesystem;

std::string contents(const fs::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A stand-in xdg-open, first on PATH, records each link it is given. (What the keyboard-access
// link opens, and what a missing xdg-open makes the agent say: tray_e2e_test.)
TEST(XdgOpen, LinksPassUnchangedAndTheHelpIsFoundBesideTheProgramElseInTheSourceTree) {
  const test::TempFolder temp;
  const fs::path folder = fs::path(temp.path) / "a b";
  fs::create_directories(folder / "share/doc/trovik-helper");
  std::ofstream(folder / "xdg-open") << "#!/bin/sh\necho \"$1\" >> \"$0.args\"\n";
  fs::permissions(folder / "xdg-open", fs::perms::owner_all);
  ::setenv("PATH", (folder.string() + ":" + std::getenv("PATH")).c_str(), 1);
  ::setenv("DISPLAY", ":0", 1);
  EXPECT_TRUE(openWithDesktop("https://a.example/b c#d", "settings:keys"));
  EXPECT_TRUE(test::waitUntil(
      [&] { return contents(folder / "xdg-open.args") == "https://a.example/b c#d\n"; }));
  // Not installed beside this program: the source tree's README, which has the section.
  EXPECT_NE(contents(keyboardAccessHelpLink().substr(7)).find("\n## Granting keyboard access\n"),
            std::string::npos);
  // Installed: the page where it is found from the program, in a folder whose name needs
  // escaping.
  std::ofstream(folder / "share/trovik-helper");
  std::ofstream(folder / "share/doc/trovik-helper/keyboard-access.html");
  EXPECT_EQ(keyboardAccessHelpLink(folder / "share/trovik-helper"),
            "file://" + temp.path + "/a%20b/share/doc/trovik-helper/keyboard-access.html");
}

}  // namespace
}  // namespace trovik
