// The log and the settings file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/linux/desktop/file_user_defaults.hpp"
#include "platform/linux/stdout_log.hpp"

namespace trovik {
namespace {

namespace fs = std::filesystem;

std::string readAll(int fd) {
  std::string all;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
    all.append(buffer, static_cast<std::size_t>(n));
  return all;
}

TEST(LineWriter, ConcurrentWritersNeverTearALineEvenWhenThePipeTakesItInParts) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);  // a long line needs several writes
  LineWriter log(pipe[1], 16 << 20);
  std::string all;
  std::thread reader([&] { all = readAll(pipe[0]); });

  constexpr int kWriters = 6, kLines = 100;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&log, w] {
      for (int i = 0; i < kLines; ++i) {
        // Some lines far beyond PIPE_BUF, where the kernel no longer keeps writes whole.
        const std::size_t length = (i % 10 == 0) ? 20000 : 40;
        log.put(std::to_string(w) + ":" + std::to_string(i) + ":" + std::string(length, 'a' + w));
      }
    });
  }
  for (auto& writer : writers) writer.join();
  ASSERT_TRUE(log.flush(std::chrono::steady_clock::now() + std::chrono::seconds(30)));
  ::close(pipe[1]);
  reader.join();
  ::close(pipe[0]);

  std::map<int, int> nextOf;
  std::istringstream lines(all);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    const int w = std::stoi(line);
    const auto second = line.find(':', line.find(':') + 1);
    ASSERT_EQ(std::stoi(line.substr(line.find(':') + 1)), nextOf[w]++) << "order of writer " << w;
    const std::string body = line.substr(second + 1);
    ASSERT_EQ(body, std::string(body.size(), 'a' + w)) << "a torn line from writer " << w;
  }
  EXPECT_EQ(count, kWriters * kLines);
  EXPECT_EQ(all.back(), '\n');
}

class FileUserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/trovik-defaults-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    directory = pattern;
  }
  void TearDown() override { fs::remove_all(directory); }
  fs::path directory;
};

TEST_F(FileUserDefaultsTest, KeepsBooleansAcrossInstancesAndReplacesTheFileWhole) {
  const fs::path file = directory / "trovik-helper" / "defaults";
  FileUserDefaults defaults(file);
  EXPECT_FALSE(defaults.boolForKey("loginItemConfigured"));  // absent reads as false
  defaults.setBool(true, "loginItemConfigured");
  EXPECT_TRUE(FileUserDefaults(file).boolForKey("loginItemConfigured"));

  // A second name for the old file keeps the old text: the file was replaced, not rewritten.
  const fs::path before = directory / "before";
  fs::create_hard_link(file, before);
  defaults.setBool(false, "other");
  defaults.setBool(false, "loginItemConfigured");
  std::ifstream oldText(before), newText(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(oldText), {}), "loginItemConfigured=true\n");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(newText), {}),
            "loginItemConfigured=false\nother=false\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1)
      << "no temporary file is left behind";
}

TEST_F(FileUserDefaultsTest, SaysOnStandardErrorWhenItCannotSave) {
  FileUserDefaults defaults("/dev/null/trovik-helper/defaults");
  ::testing::internal::CaptureStderr();
  defaults.setBool(true, "loginItemConfigured");
  flushDiagnostics(std::chrono::steady_clock::now() + std::chrono::seconds(5));
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      said.rfind("trovik-helper: settings: could not save /dev/null/trovik-helper/defaults: ", 0),
      0u)
      << said;
  EXPECT_TRUE(defaults.boolForKey("loginItemConfigured"));  // kept for this run only
  EXPECT_FALSE(
      FileUserDefaults("/dev/null/trovik-helper/defaults").boolForKey("loginItemConfigured"));
}

// Whatever stands where the settings file should be, the agent starts: it reads as empty,
// says so once, and never blocks or grows.
TEST_F(FileUserDefaultsTest, AnythingButASmallSettingsFileReadsAsEmptyWithOneLine) {
  const fs::path fifo = directory / "fifo", big = directory / "big", corrupt = directory / "bad";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::resize_file((std::ofstream(big) << "loginItemConfigured=true\n", big), 10 << 20);
  std::ofstream(corrupt) << "loginItemConfigured=true\n\x7f"
                            "ELF\x01\n";
  const struct {
    fs::path file;
    std::string problem;
  } cases[] = {{fifo, "not a regular file"},
               {"/dev/zero", "not a regular file"},
               {big, "larger than 64 KiB"},
               {corrupt, "not a settings file of this program"},
               {directory, "not a regular file"}};
  for (const auto& c : cases) {
    FileUserDefaults defaults(c.file);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(defaults.boolForKey("loginItemConfigured")) << c.file;
    EXPECT_FALSE(defaults.boolForKey("other")) << c.file;
    flushDiagnostics(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "trovik-helper: settings: ignoring " + c.file.string() + ": " + c.problem + "\n");
  }
}

}  // namespace
}  // namespace trovik
