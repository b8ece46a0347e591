#include "editor/editor_id.hpp"

#include "service/messages.hpp"

namespace trovik::editor {

EditorID editorIDForBundleID(std::string_view bundleID, const Text& unicode) {
  struct Rule {
    std::string_view prefix;
    std::string_view editorID;
  };
  // The Resolve prefix has no hyphen between "davinci" and "resolve"; its ID does.
  static constexpr Rule kRules[] = {
      {"com.apple.finalcut", kFinalCut},
      {"com.adobe.premierepro", kPremiere},
      {"com.blackmagic-design.davinciresolve", kResolve},
  };
  const std::string lower = unicode.lowercased(bundleID);
  for (const auto& rule : kRules) {
    if (lower.starts_with(rule.prefix)) return std::string(rule.editorID);
  }
  return std::nullopt;
}

std::array<std::string, 2> editorStateMessagesFor(const EditorID& editorID) {
  using namespace messages;
  if (!editorID) return {std::string(kFcpInactive), std::string(kAppInactive)};
  return {std::string(*editorID == kFinalCut ? kFcpActive : kFcpInactive),
          std::string(kAppActivePrefix) + *editorID};
}

}  // namespace trovik::editor
