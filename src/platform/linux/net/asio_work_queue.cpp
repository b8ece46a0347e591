#include "platform/linux/net/asio_work_queue.hpp"

#include <algorithm>
#include <asio/post.hpp>

namespace trovik {

AsioWorkQueue::AsioWorkQueue(std::size_t threads) : pool_(std::max<std::size_t>(threads, 2)) {}

void AsioWorkQueue::async(std::function<void()> task) {
  asio::post(pool_, std::move(task));
}

void AsioWorkQueue::join() {
  pool_.join();
}

}  // namespace trovik
