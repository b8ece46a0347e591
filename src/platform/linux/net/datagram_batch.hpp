#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <asio/ip/udp.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace trovik::net {

// Takes the datagrams waiting on a UDP socket up to kSlots at a time, with one recvmmsg(2),
// with the interface each arrived on, and keeps the kernel's count of those it dropped at the
// full receive buffer. The payloads, senders and interfaces of a batch stay valid until the
// next read. Not thread-safe.
class DatagramBatch {
 public:
  static constexpr std::size_t kSlots = 32;

  // Has the kernel tell read() of its drops on `fd` (SO_RXQ_OVFL) and of each datagram's
  // interface (IP_PKTINFO, and IPV6_RECVPKTINFO on an IPv6 socket).
  static void prepare(int fd);

  DatagramBatch();

  // Reads what is waiting, without blocking: how many datagrams, and 0 with `error` set to
  // the OS error when none was read (EAGAIN when none was waiting).
  struct Result {
    std::size_t count = 0;
    int error = 0;
  };
  Result read(int fd);

  std::span<const std::uint8_t> payload(std::size_t slot) const;
  asio::ip::udp::endpoint sender(std::size_t slot) const;
  // The index of the interface it arrived on; 0 when the kernel did not say.
  int arrival(std::size_t slot) const { return arrivals_[slot]; }
  // Datagrams the kernel dropped since the last call.
  std::uint32_t takeKernelDrops();

 private:
  // The largest UDP payload, rounded up.
  static constexpr std::size_t kSlotSize = 64 * 1024;
  // An IPv4 datagram on a dual-stack socket comes with both kinds of packet information.
  static constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(std::uint32_t)) +
                                              CMSG_SPACE(sizeof(in_pktinfo)) +
                                              CMSG_SPACE(sizeof(in6_pktinfo));

  void readControl(std::size_t slot);

  // Untouched until used, so the idle buffer costs address space, not memory.
  std::unique_ptr<std::uint8_t[]> buffers_;
  std::array<mmsghdr, kSlots> headers_{};
  std::array<iovec, kSlots> vectors_{};
  std::array<sockaddr_storage, kSlots> senders_{};
  // Aligned as the cmsghdr that CMSG_FIRSTHDR finds at its start.
  struct alignas(cmsghdr) Control {
    std::uint8_t bytes[kControlSize];
  };
  std::array<Control, kSlots> controls_{};
  std::array<int, kSlots> arrivals_{};
  std::uint32_t kernelDrops_ = 0;  // the socket's running count, as last seen
  std::uint32_t reportedDrops_ = 0;
};

}  // namespace trovik::net
