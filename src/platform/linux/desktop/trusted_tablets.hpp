#pragma once

#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace trovik {

struct TrustedTablet {
  std::string address;   // as the agent shows hosts
  std::string hardware;  // "3a:1f:..."; empty when none was known
  bool operator==(const TrustedTablet&) const = default;
};

// The user's trusted tablets, one a line: the address and, where the neighbour table knew
// it, the hardware address ("192.168.1.23 3a:1f:0c:44:02:9b"). Read with the guards of the
// settings file (a regular file of at most kMaxFileSize, never waited on); a malformed line
// is skipped with one line on standard error. Written whole and atomically, for its owner's
// eyes only.
class TrustedTabletFile {
 public:
  static constexpr std::size_t kMaxFileSize = 64 * 1024;

  explicit TrustedTabletFile(std::filesystem::path file) : file_(std::move(file)) {}
  // trovik-helper/tablets in the user's configuration folder.
  static std::filesystem::path defaultFile();
  const std::filesystem::path& path() const { return file_; }

  // What the file lists; empty when it is missing or cannot be used (said on `notes`).
  std::vector<TrustedTablet> read(int notes = STDERR_FILENO) const;
  // The tablets a file's text lists; the numbers of the lines skipped go to `skipped`.
  static std::vector<TrustedTablet> parse(const std::string& text, std::vector<int>& skipped);
  // Nothing on success, else the operating system's text.
  std::optional<std::string> write(const std::vector<TrustedTablet>& tablets) const;

 private:
  const std::filesystem::path file_;
};

}  // namespace trovik
