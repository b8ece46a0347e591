#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace trovik {

// Counts what had to be dropped and says so on standard error ("trovik-helper: <service>:
// <text(n)>"): about a second after the first drop of a quiet spell, with the count so far,
// then at most once a minute while drops go on. Nothing runs while nothing is dropped.
// add() is thread-safe and never blocks.
class DropCounter {
 public:
  using Text = std::function<std::string(std::uint64_t dropped)>;
  DropCounter(std::string service, Text text);
  void add(std::uint64_t n = 1);

  struct State;  // shared with the thread that reports

 private:
  std::shared_ptr<State> state_;
};

}  // namespace trovik
