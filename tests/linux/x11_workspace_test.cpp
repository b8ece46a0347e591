#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/status_texts.hpp"
#include "platform/linux/desktop/application_identity.hpp"
#include "platform/linux/desktop/xdg_open.hpp"
#include "support/process.hpp"

namespace trovik {
namespace {

namespace fs = std::filesystem;
using std::nullopt;

TEST(ApplicationIdentity, TheFirstIdentityAWindowHasNamesItsApplication) {
  const std::string resolve = "com.blackmagic-design.DaVinciResolve";
  const std::pair<WindowIdentity, std::optional<std::string>> cases[] = {
      {{nullopt, nullopt, "RESOLVE"}, resolve},
      {{"com.blackmagicdesign.resolve", nullopt, "Other"}, resolve},
      {{nullopt, "com.blackmagicdesign.resolve.desktop", nullopt}, resolve},
      {{"org.gnome.TextEditor", "org.kde.kate", "resolve"}, "org.gnome.TextEditor"},
      {{nullopt, "org.kde.kate.desktop", "resolve"}, "org.kde.kate.desktop"},
      {{nullopt, nullopt, "resolve-helper"}, "resolve-helper"},
      {{nullopt, nullopt, nullopt}, nullopt},
  };
  for (const auto& [window, expected] : cases)
    EXPECT_EQ(applicationIdentifier(window), expected) << expected.value_or("none");
}

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
    return openWithDesktop(url) &&
           test::waitUntil([&] { return contents(folder / "xdg-open.args") == allOpened; });
  };
  EXPECT_TRUE(opens(std::string(kAccessibilitySettingsLink), help + "\n"));
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
  EXPECT_FALSE(openWithDesktop("https://a.example/", notes.write));
  notes.closeWrite();
  EXPECT_EQ(contents("/proc/self/fd/" + std::to_string(notes.read)),
            "trovik-helper: workspace: cannot open https://a.example/: xdg-open: No such file or "
            "directory\n");
  fs::remove_all(folder);
}

}  // namespace
}  // namespace trovik
