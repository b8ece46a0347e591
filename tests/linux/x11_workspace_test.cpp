#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/status_texts.hpp"
#include "platform/linux/desktop/application_identity.hpp"
#include "platform/linux/desktop/x11_workspace.hpp"
#include "platform/linux/desktop/xdg_open.hpp"
#include "platform/linux/x11_connect.hpp"
#include "support/test_environment.hpp"
#include "support/x_windows.hpp"
#include "support/xvfb_server.hpp"

namespace trovik {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using std::nullopt;
using Id = std::optional<std::string>;
const std::string kResolve = "com.blackmagic-design.DaVinciResolve";

TEST(ApplicationIdentity, TheFirstIdentityAWindowHasNamesItsApplication) {
  const std::pair<WindowIdentity, Id> cases[] = {
      {{nullopt, nullopt, "RESOLVE"}, kResolve},
      {{"com.blackmagicdesign.resolve", nullopt, "Other"}, kResolve},
      {{nullopt, "com.blackmagicdesign.resolve.desktop", nullopt}, kResolve},
      {{"org.gnome.TextEditor", "org.kde.kate", "resolve"}, "org.gnome.TextEditor"},
      {{nullopt, "org.kde.kate.desktop", "resolve"}, "org.kde.kate.desktop"},
      {{nullopt, nullopt, "resolve-helper"}, "resolve-helper"},
      {{nullopt, nullopt, nullopt}, nullopt},
  };
  for (const auto& [window, expected] : cases) {
    EXPECT_EQ(applicationIdentifier(window), expected) << expected.value_or("none");
  }
}

std::string contents(const fs::path& file) {
  std::ostringstream text;
  text << std::ifstream(file).rdbuf();
  return text.str();
}

// A stand-in xdg-open, first on PATH, records each link it is given.
TEST(XdgOpen, TheKeyboardAccessLinkOpensTheHelpAndOtherLinksPassUnchanged) {
  const fs::path folder = fs::temp_directory_path() / ("trovik-xdg " + std::to_string(getpid()));
  fs::create_directories(folder / "bin");
  std::ofstream(folder / "xdg-open") << "#!/bin/sh\necho \"$1\" >> \"$0.args\"\n";
  fs::permissions(folder / "xdg-open", fs::perms::owner_all);
  ::setenv("PATH", (folder.string() + ":" + std::getenv("PATH")).c_str(), 1);
  ::setenv("DISPLAY", ":0", 1);
  // Not installed beside this program: the source tree's README, which has the section.
  const std::string help = keyboardAccessHelpLink();
  EXPECT_NE(contents(help.substr(7)).find("\n## Granting keyboard access\n"), std::string::npos);
  const std::string other = "https://a.example/b c#d";
  for (const auto& [url, expected] :
       {std::pair{std::string(kAccessibilitySettingsLink), help + "\n"},
        std::pair{other, help + "\n" + other + "\n"}}) {
    EXPECT_TRUE(openWithDesktop(url));
    for (int i = 0; i < 500 && contents(folder / "xdg-open.args") != expected; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(contents(folder / "xdg-open.args"), expected);
  }

  // Installed: the page beside the program, in a folder whose name needs escaping.
  fs::create_directories(folder / "share/doc/trovik-helper");
  std::ofstream(folder / "bin/trovik-helper");
  std::ofstream(folder / "share/doc/trovik-helper/keyboard-access.html");
  EXPECT_EQ(keyboardAccessHelpLink(folder / "bin/trovik-helper"),
            "file://" + folder.parent_path().string() + "/trovik-xdg%20" +
                std::to_string(getpid()) + "/share/doc/trovik-helper/keyboard-access.html");

  // Without xdg-open nothing opens, and it says why in one line.
  ::setenv("PATH", (folder / "bin").c_str(), 1);
  int notes[2];
  ASSERT_EQ(::pipe(notes), 0);
  EXPECT_FALSE(openWithDesktop("https://a.example/", notes[1]));
  ::close(notes[1]);
  EXPECT_EQ(contents("/proc/self/fd/" + std::to_string(notes[0])),
            "trovik-helper: workspace: cannot open https://a.example/: xdg-open: No such file or "
            "directory\n");
  ::close(notes[0]);
  fs::remove_all(folder);
}

// The server takes only its cookie; the client picks it from the entries of its authority
// file by host and display.
TEST(X11Connect, TheCookieOfThisHostAndDisplayIsSent) {
  const std::string file = fs::temp_directory_path() / ("trovik-xauth-" + std::to_string(getpid()));
  // Entries of {host, display, cookie}, in the file's format; no host stands for any host.
  const auto write = [](const std::string& file, std::vector<std::array<std::string, 3>> entries) {
    const auto field = [](const std::string& t) { return std::string{0, char(t.size())} + t; };
    std::ofstream out(file, std::ios::binary);
    for (const auto& [host, number, cookie] : entries) {
      out << (host.empty() ? "\xff\xff" : std::string{1, 0}) << field(host) << field(number)
          << field("MIT-MAGIC-COOKIE-1") << field(cookie);
    }
  };
  // The server reads its file again whenever its last client leaves: it has one of its own.
  write(file + "-server", {{"", "", "0123456789abcdef"}});
  std::string error;
  auto server = testing::XvfbServer::start(error, nullopt, {"-auth", file + "-server"});
  TROVIK_REQUIRE_ENVIRONMENT(server, "needs Xvfb: " + error);
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const std::string n = std::to_string(server->number());
  const std::pair<std::vector<std::array<std::string, 3>>, bool> cases[] = {
      {{{host, n + "1", "wrong"}, {host, n, "0123456789abcdef"}}, true},
      {{{"elsewhere", n, "0123456789abcdef"}}, false},
      {{{host, n, "0123456789abcdeF"}}, false},
  };
  ::setenv("XAUTHORITY", file.c_str(), 1);
  for (const auto& [entries, connects] : cases) {
    write(file, entries);
    xcb_connection_t* c = connectToDisplay(server->display(), nullptr);
    EXPECT_EQ(xcb_connection_has_error(c) == 0, connects) << entries.back()[0];
    xcb_disconnect(c);
  }
  fs::remove(file);
  fs::remove(file + "-server");
}

// The server accepts the connection and then answers nothing: the main thread goes on, and
// the application in front is seen once the server runs again.
TEST(X11Workspace, AStoppedServerNeverHoldsTheMainThread) {
  std::string error;
  auto server = testing::XvfbServer::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(server, "needs Xvfb: " + error);
  auto windows = testing::XWindows::open(server->display(), error);
  ASSERT_TRUE(windows) << error;
  windows->activate(windows->make("resolve"));
  server->signal(SIGSTOP);
  ::alarm(60);  // a main thread that waits on the server fails here rather than hangs
  AsioRunLoop loop;
  X11Workspace workspace(loop, server->display());
  EXPECT_EQ(workspace.frontmostApplication(), nullopt);
  std::vector<Id> activations;
  workspace.addActivationObserver([&](const std::optional<RunningApplication>& app) {
    activations.push_back(app ? app->bundleIdentifier : nullopt);
    loop.stop();
  });
  // Only a loop that runs while the server sleeps wakes it.
  const auto timer = loop.scheduleRepeating(200ms, [&] { server->signal(SIGCONT); });
  loop.run();
  ::alarm(0);
  EXPECT_EQ(activations, std::vector<Id>{kResolve});
}

}  // namespace
}  // namespace trovik
