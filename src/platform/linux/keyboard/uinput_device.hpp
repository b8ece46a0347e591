#pragma once

#include <linux/input.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace trovik {

// The file of one uinput virtual keyboard: the only code that opens, configures and writes
// it. Tests adopt a pipe instead, as a kernel without uinput cannot create the device.
// Not thread-safe: its owner serialises.
class UinputDevice {
 public:
  using WriteFn = std::function<ssize_t(int fd, const void* data, std::size_t size)>;
  static constexpr const char* kName = "Trovik Helper virtual keyboard";

  // Creates the virtual keyboard through `path` (normally /dev/uinput), declaring `keys`.
  // Null, with `error` set in words for the user, when it cannot.
  static std::unique_ptr<UinputDevice> create(const std::string& path,
                                              std::span<const std::uint16_t> keys,
                                              std::string& error);
  // Whether `path` opens for writing, without making a device: 0, or the errno with `error`
  // set in words for the user.
  static int probe(const std::string& path, std::string& error);
  // Takes over `fd`, which then receives the records as they are written.
  static std::unique_ptr<UinputDevice> adopt(int fd, WriteFn write = {});

  ~UinputDevice();  // the kernel releases every key the device still holds
  UinputDevice(const UinputDevice&) = delete;
  UinputDevice& operator=(const UinputDevice&) = delete;

  // Writes `records` in one write(2) and returns how many whole records the device took:
  // all of them, or fewer when it refused the rest (see lastError()).
  std::size_t write(std::span<const input_event> records);
  const std::string& lastError() const { return lastError_; }
  // A new device is not yet seen by the desktop; keys written before this are lost.
  std::chrono::steady_clock::time_point readyAt() const { return readyAt_; }

 private:
  UinputDevice(int fd, bool created, WriteFn write);

  int fd_;
  bool created_;
  WriteFn write_;
  std::string lastError_;
  std::chrono::steady_clock::time_point readyAt_;
};

}  // namespace trovik
