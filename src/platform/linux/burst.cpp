#include "platform/linux/burst.hpp"

#include <utility>
#include <vector>

namespace trovik {
namespace {

thread_local int depth = 0;
thread_local std::vector<std::pair<const void*, std::function<void()>>> deferred;

}  // namespace

Burst::Burst() {
  ++depth;
}

Burst::~Burst() {
  if (depth > 1) {
    --depth;
    return;
  }
  // Work deferred by deferred work runs now too, not at some later burst.
  while (!deferred.empty()) {
    auto work = std::move(deferred);
    deferred.clear();
    for (auto& [key, run] : work) run();
  }
  depth = 0;
}

bool Burst::defer(const void* key, std::function<void()> work) {
  if (depth == 0) return false;
  for (const auto& entry : deferred) {
    if (entry.first == key) return true;
  }
  deferred.emplace_back(key, std::move(work));
  return true;
}

}  // namespace trovik
