#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "platform/text.hpp"

namespace trovik::editor {

inline constexpr std::string_view kFinalCut = "com.apple.FinalCut";
inline constexpr std::string_view kPremiere = "com.adobe.premierepro";
inline constexpr std::string_view kResolve = "com.blackmagic-design.davinci-resolve";

using EditorID = std::optional<std::string>;

// The supported editor an application identifier belongs to, by case-insensitive prefix.
EditorID editorIDForBundleID(std::string_view bundleID, const Text& unicode);

// The two state messages for an editor ID, the "fcp:" one first.
std::array<std::string, 2> editorStateMessagesFor(const EditorID& editorID);

}  // namespace trovik::editor
