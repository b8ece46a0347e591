#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "platform/system.hpp"

namespace trovik {

// The user's configuration folder: $XDG_CONFIG_HOME, or ~/.config when that is unset or
// relative.
std::filesystem::path xdgConfigHome();

// Booleans in a small "key=value" file, read once and replaced atomically (a temporary file
// renamed over it) on every change. Only a regular file of at most kMaxFileSize is read,
// and never in a way that can block: anything else (a FIFO, a device, a huge or corrupt
// file, one that cannot be read) reads as empty, with one line on standard error. A write
// that fails is reported on standard error and the old file stays. Main thread only.
class FileUserDefaults final : public UserDefaults {
 public:
  static constexpr std::size_t kMaxFileSize = 64 * 1024;
  using Values = std::map<std::string, std::string>;

  explicit FileUserDefaults(std::filesystem::path file) : file_(std::move(file)) {}
  // trovik-helper/defaults in xdgConfigHome().
  static std::filesystem::path defaultFile();

  std::optional<bool> storedBool(const std::string& key) override;
  void setBool(bool value, const std::string& key) override;
  // For the backends' own settings: the text after "key=", empty when there is none.
  std::string stringForKey(const std::string& key);
  // The values in a settings file's text; nothing when it is not one.
  static std::optional<Values> parse(const std::string& text);

 private:
  Values& values();
  // The file's values; nothing when it is missing; an error text when it cannot be used.
  std::optional<Values> read(std::string& problem) const;
  bool write(const Values& values, std::string& error) const;

  const std::filesystem::path file_;
  std::optional<Values> values_;
};

}  // namespace trovik
