#include "core/agent_fixture.hpp"

namespace trovik::testing {
namespace {

TEST(EditorClassification, MatchesPrefixesCaseInsensitively) {
  const IcuText text;
  const std::pair<const char*, editor::EditorID> cases[] = {
      {"com.apple.FinalCut", "com.apple.FinalCut"},
      {"COM.APPLE.FINALCUT", "com.apple.FinalCut"},
      {"com.apple.FinalCutTrial", "com.apple.FinalCut"},
      {"com.adobe.PremierePro.24", "com.adobe.premierepro"},
      {"com.adobe.premierepro", "com.adobe.premierepro"},
      {"com.blackmagic-design.DaVinciResolve", "com.blackmagic-design.davinci-resolve"},
      {"com.blackmagic-design.DaVinciResolveLite", "com.blackmagic-design.davinci-resolve"},
      // The canonical Resolve ID itself has a hyphen the prefix does not.
      {"com.blackmagic-design.davinci-resolve", std::nullopt},
      {"com.apple.finalcu", std::nullopt},  // shorter than the prefix
      {"x.com.apple.finalcut", std::nullopt},
      {"com.apple.Safari", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [id, expected] : cases) {
    EXPECT_EQ(editor::editorIDForBundleID(id, text), expected) << id;
  }
}

TEST(EditorStatePair, FollowsTheEditorIDExactly) {
  using editor::editorStateMessagesFor;
  EXPECT_THAT(editorStateMessagesFor(std::nullopt), ElementsAre("fcp:inactive", "app:inactive"));
  EXPECT_THAT(editorStateMessagesFor("com.apple.FinalCut"),
              ElementsAre("fcp:active", "app:active:com.apple.FinalCut"));
  EXPECT_THAT(editorStateMessagesFor("com.apple.finalcut"),  // only the exact ID counts
              ElementsAre("fcp:inactive", "app:active:com.apple.finalcut"));
  EXPECT_THAT(editorStateMessagesFor("com.adobe.premierepro"),
              ElementsAre("fcp:inactive", "app:active:com.adobe.premierepro"));
}

class EditorTracking : public AgentTest {
 protected:
  std::vector<std::string> sentSince(std::size_t from) {
    const auto all = channel.channel->datagrams();
    return {all.begin() + static_cast<long>(from), all.end()};
  }
  Client channel;
};

TEST_F(EditorTracking, LaunchStoresTheFrontmostEditorQuietly) {
  fake.workspace.frontmost = RunningApplication{"com.Apple.FinalCut.beta"};
  delegate->observeFrontmostApp();
  EXPECT_EQ(delegate->activeEditorID(), "com.apple.FinalCut");
  EXPECT_THAT(
      lines(),
      ElementsAre("Trovik: observeFrontmostApp installed, initial editor: com.apple.FinalCut"));
  EXPECT_EQ(fake.workspace.observerCount(), 1u);
}

TEST_F(EditorTracking, LaunchWithoutAnEditorOrIdentifierSaysNone) {
  fake.workspace.frontmost = RunningApplication{std::nullopt};
  delegate->observeFrontmostApp();
  EXPECT_EQ(delegate->activeEditorID(), std::nullopt);
  EXPECT_THAT(lines(), ElementsAre("Trovik: observeFrontmostApp installed, initial editor: none"));
}

TEST_F(EditorTracking, ActivationsBroadcastOnlyChanges) {
  delegate->observeFrontmostApp();
  channel = connectReady("10.0.0.2");
  fake.log.clear();
  const auto start = channel.channel->datagrams().size();

  fake.workspace.activate("com.apple.FinalCut");
  fake.workspace.activate("com.apple.FinalCut");  // same editor: logged, nothing sent
  fake.workspace.activate("com.adobe.PremierePro");
  fake.workspace.activate("com.blackmagic-design.DaVinciResolve");
  fake.workspace.activate("org.gnome.Nautilus");
  fake.workspace.activate("org.gnome.Terminal");  // non-editor to non-editor: nothing
  fake.workspace.activate(std::nullopt);          // no application: "unknown"
  fake.settle();

  EXPECT_THAT(sentSince(start),
              ElementsAre("fcp:active", "app:active:com.apple.FinalCut",  //
                          "fcp:inactive", "app:active:com.adobe.premierepro", "fcp:inactive",
                          "app:active:com.blackmagic-design.davinci-resolve", "fcp:inactive",
                          "app:inactive"));
  EXPECT_THAT(
      fake.log.linesStartingWith("Trovik: App activated: "),
      ElementsAre("Trovik: App activated: com.apple.FinalCut",
                  "Trovik: App activated: com.apple.FinalCut",
                  "Trovik: App activated: com.adobe.PremierePro",
                  "Trovik: App activated: com.blackmagic-design.DaVinciResolve",
                  "Trovik: App activated: org.gnome.Nautilus",
                  "Trovik: App activated: org.gnome.Terminal", "Trovik: App activated: unknown"));
  EXPECT_THAT(
      fake.log.linesStartingWith("Trovik: editor changed"),
      ElementsAre("Trovik: editor changed → com.apple.FinalCut, stateClients: 1",
                  "Trovik: editor changed → com.adobe.premierepro, stateClients: 1",
                  "Trovik: editor changed → com.blackmagic-design.davinci-resolve, stateClients: 1",
                  "Trovik: editor changed → none, stateClients: 1"));
}

TEST_F(EditorTracking, ActivationWithoutApplicationClearsTheEditor) {
  delegate->updateActiveEditor("com.apple.FinalCut");
  delegate->observeFrontmostApp();  // nothing in front now
  delegate->appDidActivate(RunningApplication{"com.apple.FinalCut"});
  fake.log.clear();
  delegate->appDidActivate(std::nullopt);
  EXPECT_THAT(lines(), ElementsAre("Trovik: App activated: unknown",
                                   "Trovik: editor changed → none, stateClients: 0",
                                   "Trovik: Broadcasting 'fcp:inactive' to 0 state clients",
                                   "Trovik: Broadcasting 'app:inactive' to 0 state clients"));
}

TEST_F(EditorTracking, ActivatedIdentifierIsEscapedInTheLog) {
  delegate->appDidActivate(RunningApplication{"evil\nTrovik: editor changed → x"});
  EXPECT_EQ(lines().at(0), "Trovik: App activated: evil\\nTrovik: editor changed → x");
  EXPECT_EQ(lines().size(), 1u);  // not an editor, nothing changed
}

}  // namespace
}  // namespace trovik::testing
