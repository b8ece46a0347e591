#include "platform/linux/desktop/linux_tablets.hpp"

#include <sys/inotify.h>

#include <algorithm>

#include "platform/linux/diagnostics.hpp"
#include "platform/linux/net/host_address.hpp"
#include "platform/linux/net/neighbours.hpp"

namespace trovik {
namespace {

bool isLoopback(const net::SocketAddress& address) {
  if (address.family() == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address.storage);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address.storage).sin6_addr;
  return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

}  // namespace

LinuxTablets::LinuxTablets(asio::io_context& mainLoop, TrustedTabletFile file,
                           std::unique_ptr<TabletQuestion> question)
    : file_(std::move(file)), question_(std::move(question)), tablets_(file_.read()) {
  // The folder may not be there yet: its parent is watched for it, as a copy run from the
  // build folder makes none.
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const auto folder = file_.path().parent_path();
  if (fd < 0 || (!watchFolder(fd) && inotify_add_watch(fd, folder.parent_path().c_str(),
                                                       IN_CREATE | IN_MOVED_TO) < 0)) {
    if (fd >= 0) ::close(fd);
    diagnose("tablets", "cannot watch " + file_.path().string() +
                            " for changes; the agent takes them at its next start");
    return;
  }
  watcher_ = std::make_unique<asio::posix::stream_descriptor>(mainLoop, fd);
  events_.resize(4096);
  watch();
}

bool LinuxTablets::watchFolder(int fd) {
  return inotify_add_watch(fd, file_.path().parent_path().c_str(),
                           IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) >= 0;
}

LinuxTablets::~LinuxTablets() = default;

void LinuxTablets::watch() {
  watcher_->async_read_some(asio::buffer(events_), [this](std::error_code error, std::size_t size) {
    if (error) return;
    bool ours = false;
    for (std::size_t at = 0; at + sizeof(inotify_event) <= size;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events_.data() + at);
      const std::string_view name = event->len > 0 ? event->name : "";
      if (name == file_.path().parent_path().filename().native()) {
        ours = watchFolder(watcher_->native_handle());  // the folder has just been made
      }
      ours = ours || name == file_.path().filename().native();
      at += sizeof(inotify_event) + event->len;
    }
    if (ours) reload();
    watch();
  });
}

void LinuxTablets::reload() {
  auto tablets = file_.read();
  {
    std::lock_guard lock(mutex_);
    if (tablets == tablets_) return;
    tablets_ = std::move(tablets);
  }
  if (changed_) changed_();
}

bool LinuxTablets::isTrusted(const Host& host) {
  const auto address = net::socketAddressOf(Endpoint::hostPort(host, 0));
  if (!address) return false;
  if (isLoopback(*address)) return true;
  std::string hardware;
  {
    std::lock_guard lock(mutex_);
    const auto found = std::ranges::find(tablets_, host.description, &TrustedTablet::address);
    if (found == tablets_.end()) return false;
    hardware = found->hardware;
  }
  // Another device on the address the tablet had is asked about again.
  if (hardware.empty()) return true;
  const auto now = net::neighbourHardwareAddress(*address);
  return !now || *now == hardware;
}

void LinuxTablets::trust(const Host& host) {
  std::string hardware;
  if (const auto address = net::socketAddressOf(Endpoint::hostPort(host, 0))) {
    hardware = net::neighbourHardwareAddress(*address).value_or("");
  }
  std::vector<TrustedTablet> tablets;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(tablets_, [&](const auto& t) { return t.address == host.description; });
    tablets_.push_back({host.description, hardware});
    tablets = tablets_;
  }
  save(std::move(tablets));
}

void LinuxTablets::forgetAll() {
  {
    std::lock_guard lock(mutex_);
    tablets_.clear();
  }
  save({});
}

void LinuxTablets::save(std::vector<TrustedTablet> tablets) {
  if (const auto error = file_.write(tablets)) {
    diagnose("tablets", "could not save " + file_.path().string() + ": " + *error);
  }
}

void LinuxTablets::setChangeHandler(std::function<void()> changed) {
  changed_ = std::move(changed);
}

bool LinuxTablets::ask(const std::string& address, std::function<void(bool)> answer) {
  return question_->ask(address, std::move(answer));
}

void LinuxTablets::withdraw() {
  question_->withdraw();
}

}  // namespace trovik
