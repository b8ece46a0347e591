#pragma once

#include <optional>
#include <string>

namespace trovik {

// The computer's user-visible name, or none.
class HostInfo {
 public:
  virtual ~HostInfo() = default;
  virtual std::optional<std::string> localizedName() = 0;
};

enum class LoginItemStatus { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

// The agent's own entry among the programs started at login. Main thread only.
class LoginItems {
 public:
  virtual ~LoginItems() = default;
  virtual LoginItemStatus status() = 0;
  // Nothing on success, else the error's text.
  virtual std::optional<std::string> registerItem() = 0;
  virtual std::optional<std::string> unregisterItem() = 0;
  virtual void openSystemSettingsLoginItems() = 0;
};

// Booleans that survive restarts. Main thread only.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;
  // The stored value, or nothing for a key never set.
  virtual std::optional<bool> storedBool(const std::string& key) = 0;
  virtual void setBool(bool value, const std::string& key) = 0;
  // An absent key reads as false.
  bool boolForKey(const std::string& key) { return storedBool(key).value_or(false); }
};

class Bundle {
 public:
  virtual ~Bundle() = default;
  virtual std::string bundlePath() = 0;
  // The folder prefix, final slash included, under which the program counts as installed.
  virtual std::string installedPrefix() = 0;
};

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

class Application {
 public:
  virtual ~Application() = default;
  virtual void setActivationPolicy(ActivationPolicy policy) = 0;
  // Ends the process's run loop; nothing else is done first.
  virtual void terminate() = 0;
};

}  // namespace trovik
