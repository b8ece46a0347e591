// Datagrams from one tablet into the agent's core on fakes: decoding, trimming, the command
// grammar, the key tables, log escaping and the state messages sent back. The first byte sets
// the scene (see Scene); the rest, split at 0xFF, which no UTF-8 text contains, is the
// datagrams in order. Each input gets an agent of its own, so every run is reproducible.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_delegate.hpp"
#include "check.hpp"
#include "fakes/fakes.hpp"
#include "service/messages.hpp"

namespace trovik::fuzz {
namespace {

using Kind = ConnectionState::Kind;
constexpr char kSeparator = '\xFF';

struct Scene {
  explicit Scene(std::uint8_t bits)
      : keyboardRefuses(bits & 1),
        noAccess(bits & 2),
        accessFlips(bits & 4),
        secondClient(bits & 8),
        channelsNeverReady(bits & 16),
        stranger(bits & 32),
        strangerAllowed(bits & 64) {}
  bool keyboardRefuses, noAccess, accessFlips, secondClient, channelsNeverReady, stranger,
      strangerAllowed;
  // Whether a command that names a key must type it.
  bool typesEveryKey() const { return !keyboardRefuses && !noAccess && !accessFlips && !stranger; }
};

bool isKnownStateMessage(std::string_view datagram) {
  using namespace messages;
  for (const auto known :
       {kAxGranted, kAxDenied, kFcpActive, kFcpInactive, kAppInactive, kKeyFired}) {
    if (datagram == known) return true;
  }
  return datagram.starts_with(kAppActivePrefix) &&
         isPrintableLine(datagram.substr(kAppActivePrefix.size()));
}

std::string_view trimAscii(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\v\f\r";
  const auto begin = text.find_first_not_of(kSpace);
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(kSpace) - begin + 1);
}

// Commands that surely name a key: the special names, and a lower-case letter or a digit,
// alone or after "shift+".
bool namesKeySurely(std::string_view trimmed) {
  using namespace messages;
  for (const auto name : {kSpace, kReturn, kDelete, kTab, kEsc, kLeft, kRight, kUp, kDown}) {
    if (trimmed == name) return true;
  }
  if (trimmed.starts_with(kShiftPrefix)) trimmed.remove_prefix(kShiftPrefix.size());
  return trimmed.size() == 1 &&
         ((trimmed[0] >= 'a' && trimmed[0] <= 'z') || (trimmed[0] >= '0' && trimmed[0] <= '9'));
}

class Run {
 public:
  explicit Run(Scene scene) : scene_(scene), delegate_(AppDelegate::create(fake_.platform())) {
    fake_.keyboard.refuses = scene.keyboardRefuses;
    fake_.trust.trusted = !scene.noAccess;
    delegate_->applicationDidFinishLaunching();
    fake_.network.listener->reportState(ListenerState::Kind::ready);
    fake_.settle();
    fake_.trust.flips = scene.accessFlips;
    if (scene.secondClient) send("127.0.0.8", "hello");
  }

  void datagram(std::string_view bytes) {
    const std::size_t presses = fake_.keyboard.presses().size();
    const std::size_t lines = fake_.log.lines().size();
    std::vector<std::size_t> fired;
    for (const auto& channel : fake_.network.channels) fired.push_back(firedOn(*channel));

    send(scene_.stranger ? "192.168.77.2" : "127.0.0.7", std::string(bytes));
    if (scene_.stranger && scene_.strangerAllowed) fake_.tablets.answer(true);
    fake_.settle();

    const auto log = fake_.log.lines();
    for (std::size_t i = lines; i < log.size(); ++i) {
      require(isPrintableLine(log[i]), "log line", log[i]);
    }
    const std::size_t typed = fake_.keyboard.presses().size() - presses;
    require(typed <= 1, "one datagram, one key at most");
    for (std::size_t i = 0; i < fake_.network.channels.size(); ++i) {
      const auto& channel = *fake_.network.channels[i];
      for (const auto& sent : channel.datagrams()) {
        require(isKnownStateMessage(sent), "state message", sent);
      }
      // Every client that hears state hears of each key typed. A command that names no key
      // is confirmed too, but never without keyboard access or when the key did not go out.
      const std::size_t confirmed = firedOn(channel) - (i < fired.size() ? fired[i] : 0);
      require(confirmed <= 1, "confirmed twice", bytes);
      if (!scene_.channelsNeverReady) require(confirmed >= typed, "key:fired", bytes);
      if ((scene_.noAccess && !scene_.accessFlips) ||
          (scene_.keyboardRefuses && namesKeySurely(trimAscii(bytes)))) {
        require(confirmed == 0, "confirmed what was not typed", bytes);
      }
    }
    // Bytes that are no UTF-8 text, or that trim to nothing, the greeting or a reserved text,
    // are neither logged nor typed.
    if (!isUtf8(bytes) || messages::isIgnoredCommand(trimAscii(bytes))) {
      require(typed == 0, "typed a datagram that is no command", bytes);
      for (std::size_t i = lines; i < log.size(); ++i) {
        require(!log[i].starts_with("Trovik: Received"), "logged no command", log[i]);
      }
    }
    if (scene_.typesEveryKey() && namesKeySurely(trimAscii(bytes))) {
      require(typed == 1, "a key command typed nothing", bytes);
      require(fake_.keyboard.presses().back().shift ==
                  trimAscii(bytes).starts_with(messages::kShiftPrefix),
              "shift", bytes);
    }
  }

 private:
  static std::size_t firedOn(const fakes::FakeConnection& channel) {
    const auto sent = channel.datagrams();
    return std::count(sent.begin(), sent.end(), std::string(messages::kKeyFired));
  }

  // As a tablet does: its flow's next datagram, or a new flow when the agent let the last go.
  void send(const std::string& host, const std::string& text) {
    auto& flow = host == "127.0.0.8" ? second_ : first_;
    if (flow && flow->completeReceive(text)) return;
    const std::size_t channels = fake_.network.channels.size();
    flow = fake_.network.listener->connect(host, host == "127.0.0.8" ? 50002 : 50001);
    fake_.settle();
    if (fake_.network.channels.size() > channels && !scene_.channelsNeverReady) {
      fake_.network.channels.back()->reportState(Kind::ready);
      fake_.settle();
    }
    flow->completeReceive(text);
  }

  Scene scene_;
  fakes::FakePlatform fake_;
  std::shared_ptr<AppDelegate> delegate_;
  std::shared_ptr<fakes::FakeConnection> first_, second_;
};

}  // namespace
}  // namespace trovik::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  trovik::fuzz::Run run{trovik::fuzz::Scene(data[0])};
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (int count = 0; count < 16; ++count) {  // longer scripts find nothing new, only slowly
    const auto end = rest.find(trovik::fuzz::kSeparator);
    run.datagram(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return 0;
}
