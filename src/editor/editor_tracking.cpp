#include "app/app_delegate.hpp"
#include "app/log_escape.hpp"

namespace trovik {

std::array<std::string, 2> AppDelegate::editorStateMessages() const {
  return editor::editorStateMessagesFor(activeEditorID());
}

void AppDelegate::updateActiveEditor(const editor::EditorID& editorID) {
  std::size_t stateClients = 0;
  std::array<std::string, 2> pair;
  {
    std::lock_guard lock(mutex_);
    if (activeEditorID_ == editorID) return;  // equal when both absent or the same text
    activeEditorID_ = editorID;
    for (const auto& client : clients_) stateClients += client->channel != nullptr;
    pair = editor::editorStateMessagesFor(activeEditorID_);
  }
  platform_.log.line("Trovik: editor changed → " + editorID.value_or("none") +
                     ", stateClients: " + std::to_string(stateClients));
  for (const auto& message : pair) broadcastState(message);
}

void AppDelegate::observeFrontmostApp() {
  editor::EditorID editorID;
  if (auto app = platform_.workspace.frontmostApplication(); app && app->bundleIdentifier) {
    editorID = editor::editorIDForBundleID(*app->bundleIdentifier, platform_.text);
  }
  {
    std::lock_guard lock(mutex_);
    activeEditorID_ = editorID;
  }
  platform_.log.line("Trovik: observeFrontmostApp installed, initial editor: " +
                     editorID.value_or("none"));
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  platform_.workspace.addActivationObserver([weak](const std::optional<RunningApplication>& app) {
    if (auto self = weak.lock()) self->appDidActivate(app);
  });
}

void AppDelegate::appDidActivate(const std::optional<RunningApplication>& app) {
  const bool named = app && app->bundleIdentifier;
  // Any application can set its identifier, so it is escaped before it reaches the log.
  platform_.log.line("Trovik: App activated: " +
                     (named ? escapeForLog(*app->bundleIdentifier) : std::string("unknown")));
  updateActiveEditor(named ? editor::editorIDForBundleID(*app->bundleIdentifier, platform_.text)
                           : editor::EditorID{});
}

}  // namespace trovik
