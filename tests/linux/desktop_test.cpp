// The desktop's backends: the computer's name cut to fit one DNS-SD label, the settings file,
// and Open at Login as an XDG autostart entry.

#include <fstream>

#include "fakes/fakes.hpp"
#include "platform/linux/desktop/file_user_defaults.hpp"
#include "platform/linux/desktop/xdg_login_items.hpp"
#include "platform/linux/dnssd/dns_sd_name.hpp"
#include "support/test_environment.hpp"

namespace trovik {

namespace fs = std::filesystem;
using Status = LoginItemStatus;

static std::string readText(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

static std::string repeat(std::string_view piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(ServiceNameFitting, NamesAreCutToTheLastWholeCharacterWithinSixtyThreeBytes) {
  const std::string acute = "\xCC\x81";  // U+0301 COMBINING ACUTE ACCENT
  // Each name, and how many of its bytes stay; none: refused, as no responder can carry it.
  const std::pair<std::string, std::optional<std::size_t>> cases[] = {
      {repeat("x", 63), 63},
      {repeat("x", 64), 63},
      {repeat("\xC3\xA9", 31) + "x", 63},
      {repeat("\xC3\xA9", 32), 62},  // the 32nd letter would end at byte 64
      // A code point cut would keep the bare "e" and drop its accent.
      {repeat("x", 62) + "e" + acute, 62},
      // One character longer than a label: only code point boundaries remain.
      {"e" + repeat(acute, 40), 63},
      {"", std::nullopt},
      {std::string("a\0b", 3), std::nullopt},
      {"Mac\xC3", std::nullopt},
      {repeat("x", 70) + "\x80", std::nullopt},
  };
  for (const auto& [name, kept] : cases) {
    EXPECT_EQ(fitServiceName(name), kept ? std::optional(name.substr(0, *kept)) : std::nullopt)
        << ::testing::PrintToString(name);
  }
}

// Files it ignores, and what it says of them: program_test.
TEST(FileUserDefaults, KeepsBooleansByReplacingTheFileWhole) {
  const test::TempFolder folder;
  const fs::path directory = folder.path, file = directory / "trovik-helper" / "defaults";
  FileUserDefaults defaults(file);
  EXPECT_FALSE(defaults.boolForKey("loginItemConfigured"));  // absent reads as false
  defaults.setBool(true, "loginItemConfigured");
  EXPECT_TRUE(FileUserDefaults(file).boolForKey("loginItemConfigured"));
  // A second name for the old file keeps the old text: the file was replaced, not rewritten.
  fs::create_hard_link(file, directory / "before");
  defaults.setBool(false, "other");
  EXPECT_EQ(readText(directory / "before"), "loginItemConfigured=true\n");
  EXPECT_EQ(readText(file), "loginItemConfigured=true\nother=false\n");
}

TEST(XdgLoginItems, OnlyAnEnabledEntryOfOursCountsAndOnlyOursIsRemoved) {
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
}

}  // namespace trovik
