#pragma once

#include <systemd/sd-bus.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <functional>
#include <memory>

namespace trovik {

// Serves an sd-bus connection from an io_context: it waits for exactly what the bus asks for
// (readable, writable, its next timeout) and processes until the bus has nothing more, so
// an idle bus costs no wakeups. Everything runs on the context's one thread.
class AsioBusPump : public std::enable_shared_from_this<AsioBusPump> {
 public:
  // `lost` runs once, with the negative errno, when the connection fails; the pump then stops.
  // Null, with errno set, when the bus has no descriptor to wait on.
  static std::shared_ptr<AsioBusPump> start(asio::io_context& context, sd_bus* bus,
                                            std::function<void(int)> lost);
  AsioBusPump(asio::io_context& context, sd_bus* bus, int fd, std::function<void(int)> lost);
  ~AsioBusPump();

  // Call after sending from outside the bus's callbacks: a message the socket did not take at
  // once waits for the pump.
  void schedule();
  // Cancels every wait; the bus is left to its owner.
  void stop();

 private:
  void process();
  void arm();

  asio::io_context& context_;
  sd_bus* bus_;
  asio::posix::stream_descriptor descriptor_;  // a duplicate of the bus's own socket
  asio::steady_timer timer_;
  std::function<void(int)> lost_;
  bool readWait_ = false;
  bool writeWait_ = false;
  bool scheduled_ = false;
  bool stopped_ = false;
};

}  // namespace trovik
