#include "platform/linux/keyboard/uinput_device.hpp"

#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace trovik {
namespace {

// Long enough for udev and the compositor's input stack to pick up a new keyboard.
constexpr auto kSettleTime = std::chrono::milliseconds(500);

std::string errorText(int err) {
  return std::error_code(err, std::system_category()).message();
}

std::string openProblem(const std::string& path, int err) {
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return path + " is missing (the uinput module is not loaded)";
    case EACCES:
    case EPERM:
      return "no permission to write " + path;
    default:
      return path + ": " + errorText(err);
  }
}

bool configure(int fd, std::span<const std::uint16_t> keys) {
  if (ioctl(fd, UI_SET_EVBIT, EV_KEY) < 0) return false;
  for (const auto key : keys) {
    if (ioctl(fd, UI_SET_KEYBIT, static_cast<int>(key)) < 0) return false;
  }
  uinput_setup setup{};
  setup.id.bustype = BUS_VIRTUAL;
  std::strncpy(setup.name, UinputDevice::kName, UINPUT_MAX_NAME_SIZE - 1);
  return ioctl(fd, UI_DEV_SETUP, &setup) >= 0 && ioctl(fd, UI_DEV_CREATE) >= 0;
}

}  // namespace

std::unique_ptr<UinputDevice> UinputDevice::create(const std::string& path,
                                                   std::span<const std::uint16_t> keys,
                                                   std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = openProblem(path, errno);
    return nullptr;
  }
  if (!configure(fd, keys)) {
    error = "cannot create a virtual keyboard on " + path + ": " + errorText(errno);
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<UinputDevice> device(new UinputDevice(fd, true, {}));
  device->readyAt_ = std::chrono::steady_clock::now() + kSettleTime;
  return device;
}

int UinputDevice::probe(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    error = openProblem(path, err);
    return err;
  }
  ::close(fd);
  return 0;
}

std::unique_ptr<UinputDevice> UinputDevice::adopt(int fd, WriteFn write) {
  return std::unique_ptr<UinputDevice>(new UinputDevice(fd, false, std::move(write)));
}

UinputDevice::UinputDevice(int fd, bool created, WriteFn write)
    : fd_(fd), created_(created), write_(std::move(write)) {
  if (!write_)
    write_ = [](int f, const void* data, std::size_t size) { return ::write(f, data, size); };
}

UinputDevice::~UinputDevice() {
  if (created_) ioctl(fd_, UI_DEV_DESTROY);
  ::close(fd_);
}

std::size_t UinputDevice::write(std::span<const input_event> records) {
  const std::size_t size = records.size_bytes();
  ssize_t n;
  do {
    n = write_(fd_, records.data(), size);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(size)) return records.size();
  lastError_ = n < 0 ? errorText(errno) : "it took only part of a key press";
  return n < 0 ? 0 : static_cast<std::size_t>(n) / sizeof(input_event);
}

}  // namespace trovik
