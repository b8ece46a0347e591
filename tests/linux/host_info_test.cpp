#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/linux/desktop/linux_host_info.hpp"
#include "platform/linux/desktop/machine_info.hpp"

namespace trovik {
namespace {

using Name = std::optional<std::string>;

// A machine-info file of its own per test, removed afterwards.
class MachineInfoFile {
 public:
  MachineInfoFile()
      : path_(std::filesystem::temp_directory_path() /
              ("trovik-machine-info-" + std::to_string(getpid()) + "-" +
               std::to_string(counter_++))) {}
  ~MachineInfoFile() { std::filesystem::remove(path_); }
  const std::filesystem::path& write(const std::string& content) {
    std::ofstream(path_, std::ios::binary) << content;
    return path_;
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

LinuxHostInfo::Sources sources(Name pretty, std::filesystem::path machineInfo, Name host) {
  return {[pretty] { return pretty; }, std::move(machineInfo), [host] { return host; }};
}

TEST(ComputerName, TakesTheFirstSourceThatGivesAName) {
  MachineInfoFile file;
  const auto& withPretty = file.write("ICON_NAME=computer-laptop\nPRETTY_HOSTNAME=\"Ada's Mac\"\n");

  EXPECT_EQ(LinuxHostInfo(sources("Studio \xE2\x9C\x82", withPretty, "studio")).localizedName(),
            "Studio \xE2\x9C\x82");
  EXPECT_EQ(LinuxHostInfo(sources(std::nullopt, withPretty, "studio")).localizedName(),
            "Ada's Mac");
  EXPECT_EQ(LinuxHostInfo(sources("", withPretty, "studio")).localizedName(), "Ada's Mac");
}

TEST(ComputerName, FallsBackToTheHostNameWhenMachineInfoNamesNothing) {
  MachineInfoFile file;
  for (const char* content :
       {"", "ICON_NAME=computer\n", "PRETTY_HOSTNAME=\n", "PRETTY_HOSTNAME=''\n",
        "# PRETTY_HOSTNAME=Old\n", "PRETTY_HOSTNAMES=Wrong key\n"}) {
    file.write(content);
    EXPECT_EQ(LinuxHostInfo(sources(std::nullopt, file.path(), "studio")).localizedName(), "studio")
        << content;
  }
  MachineInfoFile absent;
  EXPECT_EQ(LinuxHostInfo(sources(std::nullopt, absent.path(), "studio")).localizedName(),
            "studio");
}

TEST(ComputerName, IsNoneWhenNoSourceGivesAUsableName) {
  MachineInfoFile absent;
  EXPECT_EQ(LinuxHostInfo(sources(std::nullopt, absent.path(), std::nullopt)).localizedName(),
            std::nullopt);
  EXPECT_EQ(LinuxHostInfo(sources("", absent.path(), "")).localizedName(), std::nullopt);
  EXPECT_EQ(LinuxHostInfo(LinuxHostInfo::Sources{}).localizedName(), std::nullopt);
}

TEST(ComputerName, SkipsNamesThatAreNotWellFormedUtf8) {
  MachineInfoFile file;
  const auto& broken = file.write(
      "PRETTY_HOSTNAME=Bad\xFF"
      "Name\n");
  EXPECT_EQ(LinuxHostInfo(sources("Caf\xC3", broken, "studio")).localizedName(), "studio");
  EXPECT_EQ(LinuxHostInfo(sources(std::nullopt, broken, "host\xC0\xAF")).localizedName(),
            std::nullopt);
}

TEST(ComputerName, UnreachableBusGivesNoPrettyNameAndReturnsPromptly) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(hostnamedPrettyHostname("unix:path=/nonexistent/trovik/bus_socket",
                                    std::chrono::milliseconds(200)),
            std::nullopt);
  // Bounded well below the default D-Bus timeout of 25 s; generous for loaded machines.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(ComputerName, RealHostNameIsTheOneTheSystemReports) {
  char expected[256] = {};
  ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
  EXPECT_EQ(systemHostName(), std::string(expected));
}

TEST(MachineInfoValue, ReadsShellStyleQuotingAndEscapes) {
  struct Case {
    const char* content;
    Name expected;
  };
  const Case cases[] = {
      {"PRETTY_HOSTNAME=Plain", "Plain"},
      {"PRETTY_HOSTNAME=\"Lennart's Laptop\"", "Lennart's Laptop"},
      {"PRETTY_HOSTNAME='Ada \"the\" Box'", "Ada \"the\" Box"},
      {"PRETTY_HOSTNAME='back\\slash'", "back\\slash"},
      {"PRETTY_HOSTNAME=Escaped\\ Space\\'s", "Escaped Space's"},
      {"PRETTY_HOSTNAME=\"q\\\"uote \\\\ \\$HOME \\`x\\` \\n\"", "q\"uote \\ $HOME `x` \\n"},
      {"PRETTY_HOSTNAME=\"J\xC3\xBCrgens MacBook\"", "J\xC3\xBCrgens MacBook"},
      {"PRETTY_HOSTNAME=\"Ada\"'s'\\ Mac", "Adas Mac"},
      {"PRETTY_HOSTNAME=trailing blanks \t ", "trailing blanks"},
      {"PRETTY_HOSTNAME='kept blanks  '", "kept blanks  "},
      {"PRETTY_HOSTNAME=kept\\ ", "kept "},
      {"  PRETTY_HOSTNAME = spaced out", "spaced out"},
      {"PRETTY_HOSTNAME=\"one \\\ntwo\"", "one two"},
      {"PRETTY_HOSTNAME=one\\\ntwo", "onetwo"},
      {"PRETTY_HOSTNAME=\"multi\nline\"", "multi\nline"},
      {"PRETTY_HOSTNAME=a#b;c", "a#b;c"},
      {"PRETTY_HOSTNAME=Box\r\nCHASSIS=laptop\r\n", "Box"},
      {"PRETTY_HOSTNAME=First\nPRETTY_HOSTNAME=Second\n", "Second"},
      {"PRETTY_HOSTNAME=", ""},
      {"# PRETTY_HOSTNAME=Commented\n; PRETTY_HOSTNAME=Also", std::nullopt},
      {"PRETTY_HOSTNAME\nOTHER=1", std::nullopt},
      {"XPRETTY_HOSTNAME=1\nPRETTY_HOSTNAME_2=2", std::nullopt},
      {"OTHER=\"a\nPRETTY_HOSTNAME=inside quotes\"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(environmentFileValue(c.content, "PRETTY_HOSTNAME"), c.expected)
        << testing::PrintToString(std::string(c.content));
  }
}

}  // namespace
}  // namespace trovik
