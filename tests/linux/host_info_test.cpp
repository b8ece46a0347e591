// The computer's name, as the menu and the advertisement show it: the first usable of
// hostnamed's pretty name, PRETTY_HOSTNAME in /etc/machine-info, and the host name.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/desktop/linux_host_info.hpp"
#include "platform/linux/desktop/machine_info.hpp"

namespace trovik {
namespace {

using Name = std::optional<std::string>;

TEST(ComputerName, IsTheFirstWellFormedNameOfItsSources) {
  const auto file = std::filesystem::temp_directory_path() /
                    ("trovik-machine-info-" + std::to_string(::getpid()));
  const struct {
    Name pretty;
    const char* machineInfo;  // null: no file
    Name host;
    Name expected;
  } cases[] = {
      {"Studio \xE2\x9C\x82", "PRETTY_HOSTNAME='Ada'", "studio", "Studio \xE2\x9C\x82"},
      {"", "ICON_NAME=laptop\nPRETTY_HOSTNAME=\"Ada's Mac\"\n", "studio", "Ada's Mac"},
      {std::nullopt, "PRETTY_HOSTNAME=\n", "studio", "studio"},
      {std::nullopt, nullptr, "studio", "studio"},
      {"Caf\xC3", "PRETTY_HOSTNAME=Bad\xFF", "studio", "studio"},  // not UTF-8: skipped
      {std::nullopt, nullptr, "host\xC0\xAF", std::nullopt},
      {"", nullptr, "", std::nullopt},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(file);
    if (c.machineInfo) std::ofstream(file, std::ios::binary) << c.machineInfo;
    const auto pretty = c.pretty;
    const auto host = c.host;
    LinuxHostInfo info({[pretty] { return pretty; }, file, [host] { return host; }});
    EXPECT_EQ(info.localizedName(), c.expected) << (c.machineInfo ? c.machineInfo : "no file");
  }
  std::filesystem::remove(file);
  // A bus that is not there costs no more than the time allowed for it.
  EXPECT_EQ(hostnamedPrettyHostname("unix:path=/nonexistent/bus", std::chrono::seconds(5)),
            std::nullopt);
}

TEST(ComputerName, MachineInfoIsReadWithShellQuoting) {
  const std::pair<const char*, Name> cases[] = {
      {"PRETTY_HOSTNAME='Ada \"the\" Box'", "Ada \"the\" Box"},
      {"PRETTY_HOSTNAME='back\\slash'", "back\\slash"},
      {"PRETTY_HOSTNAME=Escaped\\ Space\\'s", "Escaped Space's"},
      {"PRETTY_HOSTNAME=\"q\\\"uote \\\\ \\$HOME \\`x\\` \\n\"", "q\"uote \\ $HOME `x` \\n"},
      {"PRETTY_HOSTNAME=\"Ada\"'s'\\ Mac", "Adas Mac"},
      {"PRETTY_HOSTNAME=trailing blanks \t ", "trailing blanks"},
      {"  PRETTY_HOSTNAME = spaced out", "spaced out"},
      {"PRETTY_HOSTNAME=\"one \\\ntwo\"", "one two"},
      {"PRETTY_HOSTNAME=Box\r\nCHASSIS=laptop\r\n", "Box"},
      {"PRETTY_HOSTNAME=First\nPRETTY_HOSTNAME=Second\n", "Second"},
      {"# PRETTY_HOSTNAME=Commented\n; PRETTY_HOSTNAME=Also", std::nullopt},
      {"XPRETTY_HOSTNAME=1\nPRETTY_HOSTNAME_2=2", std::nullopt},
      {"OTHER=\"a\nPRETTY_HOSTNAME=inside quotes\"", std::nullopt},
  };
  for (const auto& [content, expected] : cases) {
    EXPECT_EQ(environmentFileValue(content, "PRETTY_HOSTNAME"), expected)
        << ::testing::PrintToString(std::string(content));
  }
}

}  // namespace
}  // namespace trovik
