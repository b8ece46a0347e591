// The log and the settings file: lines that stay whole whatever the reader does, and
// settings that survive restarts and never stop the agent.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "platform/linux/desktop/file_user_defaults.hpp"
#include "platform/linux/stdout_log.hpp"

namespace trovik {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TEST(LineWriter, ConcurrentWritersNeverTearALineEvenWhenThePipeTakesItInParts) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);  // a long line needs several writes
  LineWriter log(pipe[1], 16 << 20);
  std::string all;
  std::thread reader([&] {
    char buffer[65536];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) all.append(buffer, n);
  });
  constexpr int kWriters = 6, kLines = 100;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&log, w] {
      for (int i = 0; i < kLines; ++i) {  // some far beyond what the kernel keeps whole
        log.put(std::to_string(w) + ":" + std::to_string(i) + ":" +
                std::string(i % 10 == 0 ? 20000 : 40, char('a' + w)));
      }
    });
  }
  for (auto& writer : writers) writer.join();
  ASSERT_TRUE(log.flush(Clock::now() + std::chrono::seconds(30)));
  ::close(pipe[1]);
  reader.join();
  ::close(pipe[0]);
  std::map<int, int> next;
  std::istringstream lines(all);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    const int w = std::stoi(line);
    const auto body = line.find(':', line.find(':') + 1) + 1;
    ASSERT_EQ(std::stoi(line.substr(line.find(':') + 1)), next[w]++) << "order of writer " << w;
    ASSERT_EQ(line.find_first_not_of(char('a' + w), body), std::string::npos) << "torn: " << w;
  }
  EXPECT_EQ(count, kWriters * kLines);
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
  const auto text = [](const fs::path& f) {
    std::ifstream in(f);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(text(directory / "before"), "loginItemConfigured=true\n");
  EXPECT_EQ(text(file), "loginItemConfigured=true\nother=false\n");

  // Garbage, a folder, or a place it cannot save to: it reads as empty and says so once.
  std::ofstream(directory / "bad") << "loginItemConfigured=true\n\x7f"
                                      "ELF\x01\n";
  const std::pair<fs::path, std::string> odd[] = {
      {directory / "bad",
       "ignoring " + (directory / "bad").string() + ": not a settings file of this program"},
      {directory, "ignoring " + directory.string() + ": not a regular file"},
      {"/dev/null/trovik-helper/defaults", "could not save /dev/null/trovik-helper/defaults: "}};
  for (const auto& [path, said] : odd) {
    FileUserDefaults settings(path);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(settings.boolForKey("loginItemConfigured"));
    settings.setBool(true, "other");
    EXPECT_TRUE(settings.boolForKey("other"));  // kept for this run at least
    flushDiagnostics(Clock::now() + std::chrono::seconds(5));
    const std::string text = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(text.rfind("trovik-helper: settings: " + said, 0), 0u) << text;
  }
  fs::remove_all(directory);
}

}  // namespace
}  // namespace trovik
