#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "platform/system.hpp"

namespace trovik {

// Booleans in a small "key=value" file, read on every query and replaced atomically (a
// temporary file renamed over it) on every change. A write that fails is reported on
// standard error and the old file stays. Main thread only.
class FileUserDefaults final : public UserDefaults {
 public:
  explicit FileUserDefaults(std::filesystem::path file) : file_(std::move(file)) {}
  // $XDG_CONFIG_HOME/trovik-helper/defaults, with ~/.config when that is unset or relative.
  static std::filesystem::path defaultFile();

  bool boolForKey(const std::string& key) override;
  void setBool(bool value, const std::string& key) override;

 private:
  std::map<std::string, std::string> read() const;
  bool write(const std::map<std::string, std::string>& values, std::string& error) const;

  const std::filesystem::path file_;
};

}  // namespace trovik
