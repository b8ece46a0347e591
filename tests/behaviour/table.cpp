#include "behaviour/table.hpp"

#include <gtest/gtest.h>

#include <map>

namespace trovik::behaviour {
namespace {

using Kind = Step::Kind;
using Lines = std::vector<std::string>;

const Tablet A{"127.0.0.2", 50001};
const Tablet A2{"127.0.0.2", 50002};  // a second flow from A's host
const Tablet B{"127.0.0.3", 50003};
const Tablet Deaf{"127.0.0.4", 50004, false};
const Tablet V6{"::1", 50005};
// On the same network, but not this computer: they type once the user lets them.
const Tablet P{"192.168.77.2", 50006};
const Tablet Q{"192.168.77.3", 50007};
const Tablet R{"192.168.77.4", 50008};

const Lines kNoEditor = {"fcp:inactive", "app:inactive"};
const std::string kResolveID = "com.blackmagic-design.davinci-resolve";
const Lines kResolve = {"fcp:inactive", "app:active:" + kResolveID};

std::string received(const std::string& text) {
  return "Trovik: Received '" + text + "'";
}
std::string broadcasting(const std::string& message, int clients) {
  return "Trovik: Broadcasting '" + message + "' to " + std::to_string(clients) + " state clients";
}
std::string channelState(const Tablet& t, const std::string& state) {
  return "Trovik: State connection to " + t.address + " \u2192 " + state;
}

std::vector<Heard> to(const std::vector<Tablet>& hosts, const Lines& datagrams) {
  std::vector<Heard> heard;
  for (const auto& datagram : datagrams) {
    for (const auto& host : hosts) heard.push_back({host.address, datagram});
  }
  return heard;
}

// A tablet's first datagram: it becomes a client and hears its opening sequence.
Step join(const Tablet& t, Lines editor = kNoEditor, const std::string& access = "ax:granted") {
  Step step{Kind::send, t, "hello"};
  step.log = {"Trovik: New client from " + t.address + ", creating state channel on port 9877",
              channelState(t, "preparing"), channelState(t, "ready")};
  editor.push_back(access);
  if (t.hearsState) {
    step.heard = to({t}, editor);
  } else {
    step.log.push_back(channelState(t, "failed(Connection refused)"));
  }
  return step;
}

// A key command handled while keys may be typed: logged, typed, confirmed to `everyone`.
Step command(const Tablet& t, const std::string& text, std::vector<Press> presses,
             const std::vector<Tablet>& everyone, const std::string& logged = "") {
  Step step{Kind::send, t, text};
  step.log = {received(logged.empty() ? text : logged),
              broadcasting("key:fired", static_cast<int>(everyone.size()))};
  std::vector<Tablet> hearing = everyone;
  std::erase_if(hearing, [](const Tablet& other) { return !other.hearsState; });
  step.heard = to(hearing, {"key:fired"});
  step.presses = std::move(presses);
  return step;
}

// A's command while A is the only client.
Step a(const std::string& text, std::vector<Press> presses = {}, const std::string& logged = "") {
  return command(A, text, std::move(presses), {A}, logged);
}

// Logged, and then nothing but `more` lines: no key, no confirmation.
Step unconfirmed(const Tablet& t, const std::string& text, Lines more = {}) {
  more.insert(more.begin(), received(text));
  return Step{.tablet = t, .text = text, .log = more};
}

Step silent(const Tablet& t, const std::string& bytes) {
  return Step{Kind::send, t, bytes};
}

// A datagram from a tablet the user has not let in: nothing but, maybe, a question.
Step knock(const Tablet& t, bool asks) {
  Step step{Kind::send, t, "SPACE"};
  step.asks = asks;
  return step;
}
Step answer(const std::string& text) {
  return Step{Kind::answer, {}, text};
}
Step wait(int seconds) {
  Step step{Kind::wait};
  step.seconds = seconds;
  return step;
}

Step event(Kind kind, const std::vector<Tablet>& everyone, const Lines& broadcasts,
           Lines log = {}) {
  Step step{kind};
  for (const auto& message : broadcasts) {
    log.push_back(broadcasting(message, static_cast<int>(everyone.size())));
  }
  step.log = std::move(log);
  step.heard = to(everyone, broadcasts);
  return step;
}

// On X11 the application is a window of class `windowClass`, the identifier itself if none.
Step activate(const std::string& bundleID, const std::vector<Tablet>& everyone,
              const std::string& editor, const Lines& broadcasts,
              const std::string& windowClass = "", const std::string& applicationID = "") {
  Lines log = {"Trovik: App activated: " + bundleID};
  if (!broadcasts.empty()) {
    log.push_back("Trovik: editor changed \u2192 " + editor +
                  ", stateClients: " + std::to_string(everyone.size()));
  }
  Step step = event(Kind::activate, everyone, broadcasts, log);
  step.text = bundleID;
  step.windowClass = windowClass.empty() ? bundleID : windowClass;
  step.applicationID = applicationID;
  return step;
}

std::vector<Row> makeRows() {
  std::vector<Row> rows;
  rows.push_back(
      {"commands",
       "commands are trimmed, logged, typed by position and confirmed",
       {join(A), a(" SPACE\r\n", {{49, false}}, "SPACE"),
        a("\u00a0RETURN\u2003\n", {{36, false}}, "RETURN"), a("PREV_FRAME", {{123, false}}),
        a("LEFT", {{123, false}}), a("[", {{33, false}}), a("\\", {{42, false}}),
        a("~", {{50, false}}), a("Apple", {{0, false}}), a("7", {{26, false}}),
        a("shift+a", {{0, true}}), a("shift+1", {{18, true}}), a("esc", {{14, false}}),
        a("FCP:cut", {{3, false}}), a("key:fired", {{40, false}}),
        // Handled, though no key is named: still confirmed.
        a("+PLAY"), a("shift+A"), a("\u00e9t\u00e9"),
        // Only the first character after the prefix; names and the prefix are case-sensitive.
        a("shift+ab", {{0, true}}), a("Shift+a", {{1, false}}), a("space", {{1, false}}),
        a("shift+;"), a("[x"),
        // One character each, though one of its code points alone would name a key.
        a("e\u0301"), a("\u0130"),
        // Every kind of Unicode space is trimmed, but nothing that is not one.
        a("\v\f\u0085x\u2028\u3000", {{7, false}}, "x"), a("\u200bx\x1c", {}, "\u200bx\\u{1c}")}});
  rows.push_back({"ignored",
                  "inputs that mean nothing are dropped without a word",
                  {join(A), silent(A, ""), silent(A, " \t\r\n"), silent(A, "\xC0\xAF"),
                   silent(A, "\xED\xA0\x80"), silent(A, "a\xFF"), silent(A, "\xF4\x90\x80\x80"),
                   silent(A, "\xC3"), silent(A, "hello"), silent(A, "  hello\n"),
                   silent(A, "fcp:active"), silent(A, "fcp:"), a("x", {{7, false}})}});
  rows.push_back({"escaping",
                  "what a tablet sends cannot forge or reorder log lines",
                  {join(A), a("a\nTrovik: forged", {{0, false}}, "a\\nTrovik: forged"),
                   a("\u202eevil\u2069", {}, "\\u{202e}evil\\u{2069}"),
                   a("\x7f\xEF\xBB\xBFq", {}, "\\u{7f}\\u{feff}q"),
                   // The neighbours of the escaped ranges stay as they are.
                   a("\x1b[\t\u0085\u2028\u202a\u2066\u202f\u206a", {},
                     "\\u{1b}[\\t\\u{85}\\u{2028}\\u{202a}\\u{2066}\u202f\u206a")}});
  rows.push_back({"access",
                  "without keyboard access commands are logged but neither typed nor confirmed",
                  {join(A), event(Kind::accessLost, {A}, {"ax:denied"}),
                   unconfirmed(A, "SPACE", {"Trovik: Accessibility permission not granted"}),
                   unconfirmed(A, "shift+a"), unconfirmed(A, "+PLAY"),  // handled, yet unconfirmed
                   join(B, kNoEditor, "ax:denied"), event(Kind::accessBack, {A, B}, {"ax:granted"}),
                   command(B, "SPACE", {{49, false}}, {A, B}),
                   // Lost again to the end: the agent still stops at once.
                   event(Kind::accessLost, {A, B}, {"ax:denied"})}});
  rows.push_back(
      {"broadcasts",
       "every client hears every broadcast, a host with two flows twice",
       {join(A), join(B), join(A2), join(V6), command(A2, "a", {{0, false}}, {A, B, A2, V6})}});
  rows.push_back({"deaf",
                  "a tablet that does not listen for its state is still served",
                  {join(A), join(Deaf), command(Deaf, "SPACE", {{49, false}}, {A, Deaf}),
                   command(A, "b", {{11, false}}, {A, Deaf})}});
  rows.push_back(
      {"editor",
       "tablets hear which editor is in front",
       {join(A),
        activate("com.blackmagic-design.DaVinciResolve", {A}, kResolveID, kResolve, "resolve"),
        join(B, kResolve),
        activate("org.gnome.TextEditor", {A, B}, "none", kNoEditor, "gnome-text-editor",
                 "org.gnome.TextEditor"),
        // By the start of its identifier, in any case; only Final Cut makes fcp:active.
        activate("COM.APPLE.FinalCutTrial", {A, B}, "com.apple.FinalCut",
                 {"fcp:active", "app:active:com.apple.FinalCut"}),
        activate("com.adobe.PremierePro.24", {A, B}, "com.adobe.premierepro",
                 {"fcp:inactive", "app:active:com.adobe.premierepro"}),
        // Resolve's own identifier does not start with the prefix its builds have.
        activate(kResolveID, {A, B}, "none", kNoEditor),
        activate("x.com.apple.FinalCut", {A, B}, "none", {}),
        // Any application names itself: what it says is escaped like any outside text.
        activate("evil\u202eapp\n", {A, B}, "none", {})}});
  rows.back().steps.back().log = {"Trovik: App activated: evil\\u{202e}app\\n"};
  {
    Step gone{Kind::clientFails, A};
    gone.log = {channelState(A, "cancelled")};
    // A datagram that comes with the failure is handled first.
    Step lastGone = command(A2, "b", {{11, false}}, {A2, B});
    lastGone.kind = Kind::clientFails;
    lastGone.log.push_back(channelState(A2, "cancelled"));
    rows.push_back({"removal",
                    "a client that fails takes only its own channel with it",
                    {join(A), join(A2), join(B), gone, command(A2, "a", {{0, false}}, {A2, B}),
                     lastGone, command(B, "a", {{0, false}}, {B})},
                    true});
  }
  rows.push_back(
      {"asking",
       "a tablet types once the user allows it; one refused or unanswered waits ten minutes",
       {knock(P, true), answer("allow"), join(P), command(P, "SPACE", {{49, false}}, {P}),
        knock(Q, true), knock(R, false),  // one question at a time
        answer("deny"), knock(Q, false), command(P, "a", {{0, false}}, {P}), knock(R, true),
        wait(30), knock(R, false),  // unanswered: as refused
        wait(600), knock(Q, true), answer("allow"), join(Q),
        command(Q, "b", {{11, false}}, {P, Q})},
       true});
  {
    Step locked{Kind::send, A, "SPACE"};
    locked.log = {received("SPACE"), "Trovik: Accessibility permission not granted"};
    rows.push_back({"lock",
                    "nothing is typed while the screen is locked",
                    {join(A), event(Kind::screenLock, {A}, {"ax:denied"}), locked,
                     event(Kind::screenUnlock, {A}, {"ax:granted"}),
                     command(A, "SPACE", {{49, false}}, {A})}});
  }
  return rows;
}

}  // namespace

const std::vector<std::string>& launchLines() {
  static const std::vector<std::string> lines = {
      broadcasting("ax:granted", 0), "Trovik: observeFrontmostApp installed, initial editor: none",
      "Trovik: Listening and advertising as Bonjour service"};
  return lines;
}

const std::vector<Row>& rows() {
  static const std::vector<Row> table = makeRows();
  return table;
}

Transcript expected(const Row& row) {
  Transcript t;
  for (const auto& step : row.steps) {
    t.log.insert(t.log.end(), step.log.begin(), step.log.end());
    t.heard.insert(t.heard.end(), step.heard.begin(), step.heard.end());
    t.presses.insert(t.presses.end(), step.presses.begin(), step.presses.end());
  }
  return t;
}

void expectSameHeard(const std::vector<Heard>& got, const std::vector<Heard>& want) {
  std::map<std::string, std::pair<std::vector<std::string>, std::vector<std::string>>> byHost;
  for (const auto& h : got) byHost[h.address].first.push_back(h.datagram);
  for (const auto& h : want) byHost[h.address].second.push_back(h.datagram);
  for (const auto& [host, heard] : byHost)
    EXPECT_EQ(heard.first, heard.second) << "heard by " << host;
}

}  // namespace trovik::behaviour
