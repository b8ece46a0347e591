#include "key_input.hpp"

#include <optional>
#include <string_view>

#include "keys/key_tables.hpp"
#include "service/messages.hpp"

namespace trovik::remote {
namespace {

using namespace messages;

constexpr char kEscape = '\x1b';
// Shift and a digit, as a US keyboard prints them: the agent types by key position.
constexpr std::string_view kShiftedDigits = ")!@#$%^&*(";

std::optional<std::string> commandFor(char c) {
  switch (c) {
    case ' ':
      return std::string(kSpace);
    case '\r':
    case '\n':
      return std::string(kReturn);
    case '\t':
      return std::string(kTab);
    case '\x7f':
    case '\b':
      return std::string(kDelete);
  }
  // A character the agent has a key for is its own command; a capital is Shift and its letter.
  const std::string key(1, c);
  if (keys::characterKeyCode(key) || keys::specialKeyCode(key)) return key;
  const std::string lower(1, char(c - 'A' + 'a'));
  if (c >= 'A' && c <= 'Z' && keys::characterKeyCode(lower))
    return std::string(kShiftPrefix) + lower;
  if (const auto digit = kShiftedDigits.find(c); digit != kShiftedDigits.npos) {
    return std::string(kShiftPrefix) + char('0' + digit);
  }
  return std::nullopt;
}

// The length of the escape sequence at the front of `bytes` (ESC [ ... final, or ESC O x),
// or 0 while it is cut short.
std::size_t sequenceLength(std::string_view bytes) {
  if (bytes.size() < 2) return 0;
  if (bytes[1] == 'O') return bytes.size() >= 3 ? 3 : 0;
  for (std::size_t i = 2; i < bytes.size(); ++i) {
    if (bytes[i] >= 0x40 && bytes[i] <= 0x7e) return i + 1;
  }
  return 0;
}

std::optional<std::string> arrowFor(char final) {
  switch (final) {
    case 'A':
      return std::string(kUp);
    case 'B':
      return std::string(kDown);
    case 'C':
      return std::string(kRight);
    case 'D':
      return std::string(kLeft);
  }
  return std::nullopt;
}

}  // namespace

std::vector<KeyInput> decodeKeys(std::string& pending, bool complete) {
  std::vector<KeyInput> keys;
  std::size_t used = 0;
  while (used < pending.size()) {
    const std::string_view rest = std::string_view(pending).substr(used);
    const char c = rest.front();
    if (c == '\x03' || c == '\x04') {  // Ctrl+C, Ctrl+D
      keys.push_back({KeyInput::Kind::Quit, {}});
      used = pending.size();
      break;
    }
    if (c == kEscape && rest.size() >= 2 && (rest[1] == '[' || rest[1] == 'O')) {
      const std::size_t length = sequenceLength(rest);
      if (length == 0 && !complete) break;
      if (length == 0) {  // cut short for good: nothing to make of it
        used = pending.size();
        break;
      }
      if (auto arrow = arrowFor(rest[length - 1]))
        keys.push_back({KeyInput::Kind::Command, *arrow});
      used += length;
      continue;
    }
    if (c == kEscape && rest.size() == 1 && !complete) break;
    if (c == kEscape) {
      keys.push_back({KeyInput::Kind::Command, std::string(kEsc)});
    } else if (auto command = commandFor(c)) {
      keys.push_back({KeyInput::Kind::Command, *command});
    }
    ++used;
  }
  pending.erase(0, used);
  return keys;
}

}  // namespace trovik::remote
