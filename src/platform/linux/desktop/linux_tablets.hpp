#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/linux/desktop/tablet_question.hpp"
#include "platform/linux/desktop/trusted_tablets.hpp"
#include "platform/tablets.hpp"

namespace trovik {

// The trusted tablets of a file that other programs may edit too (`trovik-helper --allow`):
// its folder is watched, and a change is taken within moments. A tablet counts as the same
// device while the neighbour table shows the hardware address it had when allowed, or none.
// Loopback hosts are this computer and always trusted. Questions go to `question`.
class LinuxTablets final : public Tablets {
 public:
  LinuxTablets(asio::io_context& mainLoop, TrustedTabletFile file,
               std::unique_ptr<TabletQuestion> question);
  ~LinuxTablets() override;

  bool isTrusted(const Host& host) override;
  void trust(const Host& host) override;
  void forgetAll() override;
  void setChangeHandler(std::function<void()> changed) override;
  bool ask(const std::string& address, std::function<void(bool)> answer) override;
  void withdraw() override;

 private:
  void watch();
  bool watchFolder(int fd);
  void reload();
  void save(std::vector<TrustedTablet> tablets);

  const TrustedTabletFile file_;
  const std::unique_ptr<TabletQuestion> question_;
  std::mutex mutex_;  // guards tablets_, which network threads read
  std::vector<TrustedTablet> tablets_;
  std::function<void()> changed_;
  std::unique_ptr<asio::posix::stream_descriptor> watcher_;  // inotify on the folder
  std::vector<char> events_;
};

}  // namespace trovik
