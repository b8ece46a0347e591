#include "platform/linux/net/datagram_batch.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace trovik::net {

void DatagramBatch::prepare(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  // IPV6_PKTINFO comes with every datagram on a dual-stack socket, IP_PKTINFO with IPv4 ones.
  ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
}

DatagramBatch::DatagramBatch()
    : buffers_(std::make_unique_for_overwrite<std::uint8_t[]>(kSlots * kSlotSize)) {
  for (std::size_t i = 0; i < kSlots; ++i) {
    vectors_[i] = {buffers_.get() + i * kSlotSize, kSlotSize};
    msghdr& header = headers_[i].msg_hdr;
    header.msg_iov = &vectors_[i];
    header.msg_iovlen = 1;
    header.msg_name = &senders_[i];
    header.msg_control = controls_[i].bytes;
  }
}

DatagramBatch::Result DatagramBatch::read(int fd) {
  for (auto& entry : headers_) {
    entry.msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    entry.msg_hdr.msg_controllen = kControlSize;
  }
  int count;
  do {
    count = ::recvmmsg(fd, headers_.data(), kSlots, MSG_DONTWAIT, nullptr);
  } while (count < 0 && errno == EINTR);
  if (count <= 0) return {0, count < 0 ? errno : EAGAIN};
  for (int i = 0; i < count; ++i) readControl(static_cast<std::size_t>(i));
  return {static_cast<std::size_t>(count), 0};
}

void DatagramBatch::readControl(std::size_t slot) {
  msghdr& header = headers_[slot].msg_hdr;
  arrivals_[slot] = 0;
  for (cmsghdr* message = CMSG_FIRSTHDR(&header); message;
       message = CMSG_NXTHDR(&header, message)) {
    const int level = message->cmsg_level, type = message->cmsg_type;
    if (level == SOL_SOCKET && type == SO_RXQ_OVFL) {
      std::memcpy(&kernelDrops_, CMSG_DATA(message), sizeof kernelDrops_);
    } else if (level == IPPROTO_IP && type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(message), sizeof info);
      arrivals_[slot] = info.ipi_ifindex;
    } else if (level == IPPROTO_IPV6 && type == IPV6_PKTINFO) {
      in6_pktinfo info;
      std::memcpy(&info, CMSG_DATA(message), sizeof info);
      arrivals_[slot] = static_cast<int>(info.ipi6_ifindex);
    }
  }
}

std::span<const std::uint8_t> DatagramBatch::payload(std::size_t slot) const {
  return {buffers_.get() + slot * kSlotSize, headers_[slot].msg_len};
}

asio::ip::udp::endpoint DatagramBatch::sender(std::size_t slot) const {
  asio::ip::udp::endpoint endpoint;
  const socklen_t length = headers_[slot].msg_hdr.msg_namelen;
  std::memcpy(endpoint.data(), &senders_[slot], std::min<std::size_t>(length, endpoint.capacity()));
  endpoint.resize(length);
  return endpoint;
}

std::uint32_t DatagramBatch::takeKernelDrops() {
  // The kernel's count runs on and wraps; only the difference is news.
  const std::uint32_t news = kernelDrops_ - reportedDrops_;
  reportedDrops_ = kernelDrops_;
  return news;
}

}  // namespace trovik::net
