#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace trovik::fakes {

// One ordered record of platform calls across every fake that shares it.
class Timeline {
 public:
  void record(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

// Base for fakes that may report into a timeline.
class Recording {
 public:
  void setTimeline(Timeline* timeline) { timeline_ = timeline; }

 protected:
  void record(std::string entry) {
    if (timeline_) timeline_->record(std::move(entry));
  }

 private:
  Timeline* timeline_ = nullptr;
};

}  // namespace trovik::fakes
