// Open at Login as an XDG autostart entry, against a temporary XDG_CONFIG_HOME.

#include <sys/fsuid.h>

#include <fstream>
#include <functional>

#include "fakes/fakes.hpp"
#include "platform/linux/desktop/xdg_login_items.hpp"
#include "support/test_environment.hpp"

namespace trovik {
namespace {

namespace fs = std::filesystem;
using Status = LoginItemStatus;

std::string readText(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `body` on a thread whose file accesses are checked as user nobody's, so that root
// meets the permission errors a user would.
void asNobody(const std::function<void()>& body) {
  std::thread([&] {
    ::setfsgid(65534);
    ::setfsuid(65534);
    body();
  }).join();
}

TEST(XdgLoginItems, OnlyAnEnabledEntryOfOursCountsOnlyOursIsRemovedAndFailuresAreTheSystems) {
  const test::TempFolder folder;
  const fs::path root = folder.path, entry = root / "my config/autostart/trovik-helper.desktop";
  fs::permissions(root, fs::perms(0755));
  ::umask(022);  // user nobody reaches what root makes
  ::setenv("XDG_CONFIG_HOME", (root / "my config").c_str(), 1);
  ASSERT_EQ(XdgLoginItems::defaultEntry(), entry);
  // Its folder needs quoting in Exec; its desktop entry marks it installed.
  const fs::path program = root / "Trovik $HOME 100%" / "trovik-helper",
                 installed = root / "trovik-helper.desktop";
  fs::create_directories(program.parent_path());
  std::ofstream(program) << "#!/bin/sh\n";
  fs::permissions(program, fs::perms(0755));
  fakes::FakeWorkspace workspace;
  XdgLoginItems items({entry, program, installed}, workspace);
  EXPECT_EQ(items.status(), Status::notFound);
  EXPECT_EQ(items.registerItem(),
            "this copy of trovik-helper is not installed (no " + installed.string() + ")");
  EXPECT_FALSE(fs::exists(entry.parent_path()));

  std::ofstream(installed) << "[Desktop Entry]\n";
  ASSERT_EQ(items.registerItem(), std::nullopt);
  const std::string ours = readText(entry);
  EXPECT_NE(ours.find("Exec=\"" + root.string() + "/Trovik \\\\$HOME 100%%/trovik-helper\"\n"),
            std::string::npos)
      << ours;
  // desktop-file-validate's verdict; without the tool none, except under CI=true.
  if (test::ciRun() || std::system("command -v desktop-file-validate >/dev/null") == 0) {
    EXPECT_EQ(std::system(("desktop-file-validate '" + entry.string() + "'").c_str()), 0);
  }

  const std::string head = "[Desktop Entry]\nType=Application\n";
  const std::string notOurs = entry.string() + " does not start this program; left in place";
  ::setenv("PATH", (program.parent_path().string() + ":" + ::getenv("PATH")).c_str(), 1);
  const struct {
    std::optional<std::string> text;  // none: no file
    Status status;
    std::optional<std::string> refusal;  // what unregistering says; none: it removes the file
  } rows[] = {
      {std::nullopt, Status::notRegistered, std::nullopt},
      {ours, Status::enabled, std::nullopt},
      {"# by hand\n\n" + head + "Exec = trovik-helper --quiet\n[Other]\nX=1\n", Status::enabled,
       std::nullopt},
      {ours + "Hidden=true\n", Status::notRegistered, std::nullopt},
      {ours + "X-GNOME-Autostart-enabled=false\n", Status::notRegistered, std::nullopt},
      {head + "Exec=/bin/true trovik-helper\n", Status::notRegistered, notOurs},
      {head + "Exec=\"" + program.string() + "\n", Status::notRegistered, notOurs},
      {"Exec=trovik-helper\n" + head, Status::notRegistered,
       entry.string() + " is not a desktop entry; left in place"},
  };
  for (const auto& row : rows) {
    const std::string what = row.text.value_or("(no file)");
    fs::remove(entry);
    if (row.text) std::ofstream(entry) << *row.text;
    EXPECT_EQ(items.status(), row.status) << what;
    EXPECT_EQ(items.unregisterItem(), row.refusal) << what;
    EXPECT_EQ(fs::exists(entry), row.refusal.has_value()) << what;
    // Switching it on again replaces whatever stood there.
    EXPECT_EQ(items.registerItem(), std::nullopt) << what;
    EXPECT_EQ(readText(entry), ours) << what;
  }

  // A folder this user may read but not write, then one it may not even read.
  fs::permissions(entry.parent_path(), fs::perms(0555));
  asNobody([&] {
    EXPECT_EQ(items.status(), Status::enabled);
    EXPECT_EQ(items.unregisterItem(), "Permission denied");
    EXPECT_EQ(items.registerItem(), "Permission denied");
  });
  fs::permissions(entry.parent_path(), fs::perms::none);
  asNobody([&] {
    EXPECT_EQ(items.status(), Status::notRegistered);
    EXPECT_EQ(items.unregisterItem(), "Permission denied");
  });
  fs::permissions(entry.parent_path(), fs::perms(0755));
  EXPECT_TRUE(fs::exists(entry)) << "a refused removal leaves it";
}

}  // namespace
}  // namespace trovik
