// How the agent tells the user to grant keyboard access: a desktop notification when a
// service shows it, else one line, and never a wait on a service that does not answer; and
// the help page that the Accessibility link opens.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/desktop/notification_prompt.hpp"
#include "platform/linux/desktop/xdg_open.hpp"
#include "platform/linux/keyboard/linux_keyboard.hpp"
#include "support/fake_bus_service.hpp"
#include "support/private_bus.hpp"
#include "support/process.hpp"
#include "support/test_environment.hpp"

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
  EXPECT_TRUE(service->calls(1, 0ms).empty());
  EXPECT_FALSE(keyboard.isProcessTrustedWithPrompt());
  const auto calls = service->calls(1, 10s);
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].size(), 4u);  // application, icon, summary, body
  EXPECT_EQ(calls[0][0], "Trovik Helper");
  EXPECT_EQ(calls[0][2], "Trovik Helper needs keyboard access");
  EXPECT_NE(calls[0][3].find("/nonexistent/uinput is missing"), std::string::npos);
  EXPECT_NE(calls[0][3].find("70-trovik-helper-uinput.rules"), std::string::npos);
  service.reset();

  {
    auto held = notifications(Answer::hold);
    NotificationPrompt prompt(bus->address(), fallback.write);
    prompt.show("Needs access", "How");  // returns although nobody answers
    prompt.show("Again", "dropped while the first is in flight");
    EXPECT_EQ(held->calls(2, 1s).size(), 1u);
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

// A stand-in xdg-open, first on PATH, records each link it is given.
TEST(XdgOpen, TheKeyboardAccessLinkOpensTheHelpAndOtherLinksPassUnchanged) {
  const fs::path folder = fs::temp_directory_path() / ("trovik-xdg " + std::to_string(getpid()));
  fs::create_directories(folder / "share/doc/trovik-helper");
  std::ofstream(folder / "xdg-open") << "#!/bin/sh\necho \"$1\" >> \"$0.args\"\n";
  fs::permissions(folder / "xdg-open", fs::perms::owner_all);
  ::setenv("PATH", (folder.string() + ":" + std::getenv("PATH")).c_str(), 1);
  ::setenv("DISPLAY", ":0", 1);
  // Not installed beside this program: the source tree's README, which has the section.
  const std::string help = keyboardAccessHelpLink();
  EXPECT_NE(contents(help.substr(7)).find("\n## Granting keyboard access\n"), std::string::npos);
  const auto opens = [&](const std::string& url, const std::string& allOpened) {
    return openWithDesktop(url, "settings:keys") &&
           test::waitUntil([&] { return contents(folder / "xdg-open.args") == allOpened; });
  };
  EXPECT_TRUE(opens("settings:keys", help + "\n"));
  EXPECT_TRUE(opens("https://a.example/b c#d", help + "\nhttps://a.example/b c#d\n"));

  // Installed: the page where it is found from the program, in a folder whose name needs
  // escaping.
  std::ofstream(folder / "share/trovik-helper");
  std::ofstream(folder / "share/doc/trovik-helper/keyboard-access.html");
  EXPECT_EQ(keyboardAccessHelpLink(folder / "share/trovik-helper"),
            "file://" + folder.parent_path().string() + "/trovik-xdg%20" +
                std::to_string(getpid()) + "/share/doc/trovik-helper/keyboard-access.html");

  // Without xdg-open nothing opens, and it says why in one line.
  ::setenv("PATH", (folder / "share").c_str(), 1);
  test::Pipe notes;
  EXPECT_FALSE(openWithDesktop("https://a.example/", "settings:keys", notes.write));
  notes.closeWrite();
  EXPECT_EQ(contents("/proc/self/fd/" + std::to_string(notes.read)),
            "trovik-helper: workspace: cannot open https://a.example/: xdg-open: No such file or "
            "directory\n");
  fs::remove_all(folder);
}

}  // namespace
}  // namespace trovik
