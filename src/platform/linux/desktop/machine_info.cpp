#include "platform/linux/desktop/machine_info.hpp"

namespace trovik {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}
bool isLineEnd(char c) {
  return c == '\n' || c == '\r';
}

// Reads one file front to back; each completed assignment is offered to `found`.
class EnvironmentParser {
 public:
  explicit EnvironmentParser(std::string_view content) : text_(content) {}

  template <typename Found>
  void parse(Found&& found) {
    while (pos_ < text_.size()) {
      skipWhile([](char c) { return isBlank(c) || isLineEnd(c); });
      if (pos_ >= text_.size()) break;
      if (text_[pos_] == '#' || text_[pos_] == ';') {
        skipLine();
        continue;
      }
      const std::size_t keyStart = pos_;
      skipWhile([](char c) { return c != '=' && !isLineEnd(c); });
      if (pos_ >= text_.size() || text_[pos_] != '=') continue;  // no '=': not an assignment
      std::string_view key = text_.substr(keyStart, pos_ - keyStart);
      while (!key.empty() && isBlank(key.back())) key.remove_suffix(1);
      ++pos_;
      skipWhile(isBlank);
      found(key, value());
    }
  }

 private:
  template <typename Predicate>
  void skipWhile(Predicate predicate) {
    while (pos_ < text_.size() && predicate(text_[pos_])) ++pos_;
  }
  void skipLine() {
    skipWhile([](char c) { return !isLineEnd(c); });
  }

  // Unquoted runs, quoted runs and escapes concatenate until an unquoted line end.
  std::string value() {
    std::string out;
    std::size_t kept = 0;  // length without trailing unquoted, unescaped blanks
    while (pos_ < text_.size() && !isLineEnd(text_[pos_])) {
      const char c = text_[pos_++];
      if (c == '\'') {
        singleQuoted(out);
      } else if (c == '"') {
        doubleQuoted(out);
      } else if (c == '\\') {
        escaped(out);
      } else {
        out += c;
        if (isBlank(c)) continue;
      }
      kept = out.size();
    }
    out.resize(kept);
    return out;
  }

  void singleQuoted(std::string& out) {
    while (pos_ < text_.size() && text_[pos_] != '\'') out += text_[pos_++];
    if (pos_ < text_.size()) ++pos_;
  }

  // Inside double quotes a backslash escapes only ", \, `, $ and the line end.
  void doubleQuoted(std::string& out) {
    while (pos_ < text_.size() && text_[pos_] != '"') {
      const char c = text_[pos_++];
      if (c != '\\' || pos_ >= text_.size()) {
        out += c;
      } else if (text_[pos_] == '\n') {
        ++pos_;
      } else if (std::string_view("\"\\`$").find(text_[pos_]) != std::string_view::npos) {
        out += text_[pos_++];
      } else {
        out += c;
      }
    }
    if (pos_ < text_.size()) ++pos_;
  }

  void escaped(std::string& out) {
    if (pos_ >= text_.size()) return;
    if (text_[pos_] == '\n') {
      ++pos_;  // line continuation
      return;
    }
    out += text_[pos_++];
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<std::string> environmentFileValue(std::string_view content, std::string_view key) {
  std::optional<std::string> result;
  EnvironmentParser(content).parse([&](std::string_view k, std::string v) {
    if (k == key) result = std::move(v);
  });
  return result;
}

}  // namespace trovik
