// The log and the settings file: lines that stay whole whatever the reader does, and
// settings that are replaced whole and never stop the agent.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/desktop/file_user_defaults.hpp"
#include "platform/linux/diagnostics.hpp"
#include "platform/linux/line_writer.hpp"
#include "support/process.hpp"

namespace trovik {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(LineWriter, LinesFromManyWritersComeWholeThoughThePipeTakesEachInParts) {
  test::Pipe pipe;
  ::fcntl(pipe.write, F_SETPIPE_SZ, 4096);  // each line needs several writes
  LineWriter log(pipe.write, 16 << 20);
  std::string all;
  std::thread reader([&] {
    char buffer[65536];
    for (ssize_t n; (n = ::read(pipe.read, buffer, sizeof buffer)) > 0;) all.append(buffer, n);
  });
  std::vector<std::thread> writers;
  for (char c = 'a'; c < 'g'; ++c)
    writers.emplace_back([&, c] {
      for (int i = 0; i < 20; ++i) log.put(std::string(i % 2 ? 40 : 20000, c));
    });
  for (auto& writer : writers) writer.join();
  ASSERT_TRUE(log.flush(Clock::now() + 30s));
  pipe.closeWrite();
  reader.join();
  std::istringstream lines(all);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count)
    ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << "torn after " << count;
  EXPECT_EQ(count, 6 * 20);
}

std::string readText(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(FileUserDefaults, KeepsBooleansByReplacingTheFileWholeAndNeverStopsTheAgent) {
  char pattern[] = "/tmp/trovik-defaults-XXXXXX";
  ASSERT_TRUE(::mkdtemp(pattern));
  const fs::path directory = pattern, file = directory / "trovik-helper" / "defaults";
  FileUserDefaults defaults(file);
  EXPECT_FALSE(defaults.boolForKey("loginItemConfigured"));  // absent reads as false
  defaults.setBool(true, "loginItemConfigured");
  EXPECT_TRUE(FileUserDefaults(file).boolForKey("loginItemConfigured"));
  // A second name for the old file keeps the old text: the file was replaced, not rewritten.
  fs::create_hard_link(file, directory / "before");
  defaults.setBool(false, "other");
  EXPECT_EQ(readText(directory / "before"), "loginItemConfigured=true\n");
  EXPECT_EQ(readText(file), "loginItemConfigured=true\nother=false\n");

  // Garbage, or a place it cannot save to: it reads as empty and says so once.
  std::ofstream(directory / "bad") << "loginItemConfigured=true\n\x7f"
                                      "ELF\x01\n";
  const std::pair<fs::path, std::string> odd[] = {
      {directory / "bad",
       "ignoring " + (directory / "bad").string() + ": not a settings file of this program"},
      {"/dev/null/trovik-helper/defaults", "could not save /dev/null/trovik-helper/defaults: "}};
  for (const auto& [path, said] : odd) {
    FileUserDefaults settings(path);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(settings.boolForKey("loginItemConfigured"));
    settings.setBool(true, "other");
    EXPECT_TRUE(settings.boolForKey("other"));  // kept for this run at least
    flushDiagnostics(Clock::now() + 5s);
    const std::string text = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(text.rfind("trovik-helper: settings: " + said, 0), 0u) << text;
  }
  fs::remove_all(directory);
}

}  // namespace
}  // namespace trovik
