#pragma once

#include <string>
#include <vector>

namespace trovik::remote {

// What keys typed on a terminal in raw mode mean to the agent.
struct KeyInput {
  enum class Kind { Command, Quit } kind;
  std::string command;
};

// Decodes the keys at the front of `pending` and removes their bytes. An escape sequence cut
// short stays there for more bytes, unless `complete` says none are coming: then a lone ESC
// is the Escape key. Keys that no command stands for are dropped.
std::vector<KeyInput> decodeKeys(std::string& pending, bool complete);

}  // namespace trovik::remote
