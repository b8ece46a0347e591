// The computer's name, as the menu and the advertisement show it: the first usable of
// hostnamed's pretty name, PRETTY_HOSTNAME in /etc/machine-info, and the host name; and
// that name cut to fit one DNS-SD label.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/desktop/linux_host_info.hpp"
#include "platform/linux/desktop/machine_info.hpp"
#include "platform/linux/dnssd/dns_sd_name.hpp"

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
    LinuxHostInfo info({[&c] { return c.pretty; }, file, [&c] { return c.host; }});
    EXPECT_EQ(info.localizedName(), c.expected) << (c.machineInfo ? c.machineInfo : "no file");
  }
  std::filesystem::remove(file);
}

TEST(ComputerName, MachineInfoIsReadWithShellQuoting) {
  const std::pair<const char*, Name> cases[] = {
      {"PRETTY_HOSTNAME='Ada \"the\" \\Box'", "Ada \"the\" \\Box"},
      {"PRETTY_HOSTNAME=Escaped\\ Space\\'s", "Escaped Space's"},
      {"PRETTY_HOSTNAME=\"q\\\"uote \\\\ \\$HOME \\`x\\` \\n\"", "q\"uote \\ $HOME `x` \\n"},
      {"PRETTY_HOSTNAME=\"Ada\"'s'\\ Mac", "Adas Mac"},
      {"  PRETTY_HOSTNAME = spaced out \t ", "spaced out"},
      {"PRETTY_HOSTNAME=\"one \\\ntwo\"", "one two"},
      {"PRETTY_HOSTNAME=First\r\nPRETTY_HOSTNAME=Box\r\nCHASSIS=laptop\r\n", "Box"},
      {"# PRETTY_HOSTNAME=Commented\n; PRETTY_HOSTNAME=Also\nXPRETTY_HOSTNAME=1\n"
       "PRETTY_HOSTNAME_2=2\nOTHER=\"a\nPRETTY_HOSTNAME=inside quotes\"",
       std::nullopt},
  };
  for (const auto& [content, expected] : cases) {
    EXPECT_EQ(environmentFileValue(content, "PRETTY_HOSTNAME"), expected)
        << ::testing::PrintToString(std::string(content));
  }
}

std::string repeat(std::string_view piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(ServiceNameFitting, NamesAreCutToTheLastWholeCharacterWithinSixtyThreeBytes) {
  const std::string acute = "\xCC\x81";  // U+0301 COMBINING ACUTE ACCENT
  // Each name, and how many of its bytes stay; none: refused, as no responder can carry it.
  const std::pair<std::string, std::optional<std::size_t>> cases[] = {
      {"Ada's Laptop #2", 15},
      {"Gr\xC3\xBC\xC3\x9F. Box\\", 12},
      {repeat("x", 63), 63},
      {repeat("x", 64), 63},
      {repeat("\xC3\xA9", 31) + "x", 63},
      {repeat("\xC3\xA9", 32), 62},  // the 32nd letter would end at byte 64
      {repeat("\xE6\x97\xA5", 22), 63},
      {repeat("\xF0\x9F\x98\x80", 16), 60},
      // A code point cut would keep the bare "e" and drop its accent.
      {repeat("x", 62) + "e" + acute, 62},
      // A code point cut would leave half a flag (one regional indicator).
      {repeat("x", 58) + "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 58},
      {repeat("x", 55) + "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB", 55},  // ZWJ sequence
      // One character longer than a label: only code point boundaries remain.
      {"e" + repeat(acute, 40), 63},
      {"e" + repeat("\xE2\x83\x9D", 30), 61},
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

}  // namespace
}  // namespace trovik
