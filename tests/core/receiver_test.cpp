#include "core/agent_fixture.hpp"

namespace trovik::testing {
namespace {

using fakes::Press;

class Receiver : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    client = connectReady("10.0.0.7");
    other = connectReady("10.0.0.8");
    fake.log.clear();
  }
  std::vector<std::string> keyFiredTo(const Client& c) {
    std::vector<std::string> fired;
    for (const auto& d : c.channel->datagrams()) {
      if (d == "key:fired") fired.push_back(d);
    }
    return fired;
  }
  Client client;
  Client other;
};

TEST_F(Receiver, KeyCommandIsLoggedTrimmedPostedAndAnnounced) {
  send(client, "  SPACE \r\n");
  EXPECT_THAT(lines(), ElementsAre("Trovik: Received 'SPACE'",
                                   "Trovik: Broadcasting 'key:fired' to 2 state clients"));
  EXPECT_THAT(fake.keyboard.presses(), ElementsAre(Press{49, false}));
  EXPECT_THAT(keyFiredTo(client), ElementsAre("key:fired"));
  EXPECT_THAT(keyFiredTo(other), ElementsAre("key:fired"));
  EXPECT_TRUE(client.flow->hasPendingReceive());
}

TEST_F(Receiver, InputsThatMeanNothingAreDroppedSilentlyAndTheLoopGoesOn) {
  for (std::string_view text :
       {"", " \n\t ", "hello", "hello\r\n", "  hello ", "fcp:", "fcp:active", "fcp:anything"}) {
    send(client, text);
  }
  ASSERT_TRUE(client.flow->completeReceive(Bytes{0xC3, 0x28}));  // invalid UTF-8
  fake.settle();
  ASSERT_TRUE(client.flow->completeReceive(std::nullopt));  // no payload at all
  fake.settle();
  EXPECT_THAT(lines(), IsEmpty());
  EXPECT_THAT(fake.keyboard.presses(), IsEmpty());
  EXPECT_THAT(keyFiredTo(client), IsEmpty());

  // Still listening: the next real command of the same client is handled.
  send(client, "Hello");  // capital H: a key command, the key of h
  EXPECT_THAT(lines(), ElementsAre("Trovik: Received 'Hello'",
                                   "Trovik: Broadcasting 'key:fired' to 2 state clients"));
  EXPECT_EQ(fake.keyboard.presses().at(0).key, 4);
}

TEST_F(Receiver, KeyFiredFollowsEveryHandledCommandOnlyWhileTrusted) {
  send(client, "+PLAY");  // names no key: still a handled command
  EXPECT_THAT(fake.keyboard.presses(), IsEmpty());
  EXPECT_THAT(keyFiredTo(client), ElementsAre("key:fired"));

  fake.trust.set(false);
  fake.log.clear();
  send(client, "LEFT");
  send(client, "shift+a");
  EXPECT_THAT(lines(),
              ElementsAre("Trovik: Received 'LEFT'", "Trovik: Accessibility permission not granted",
                          "Trovik: Received 'shift+a'"));
  EXPECT_THAT(fake.keyboard.presses(), IsEmpty());
  EXPECT_THAT(keyFiredTo(client), ElementsAre("key:fired"));  // none added
}

TEST_F(Receiver, ReceivedTextCannotForgeLogLines) {
  send(client, "a\nTrovik: Listener failed: x\u2028\x1b[2J");
  EXPECT_EQ(lines().at(0), "Trovik: Received 'a\\nTrovik: Listener failed: x\\u{2028}\\u{1b}[2J'");
  send(client, "\\");
  EXPECT_EQ(lines().at(2), "Trovik: Received '\\'");
}

TEST_F(Receiver, ErrorRemovesTheClientAfterHandlingItsDatagram) {
  ASSERT_TRUE(client.flow->completeReceive(bytes("RETURN"), fakes::makeError("Connection reset")));
  fake.settle();
  EXPECT_THAT(lines(), ElementsAre("Trovik: Received 'RETURN'",
                                   "Trovik: Broadcasting 'key:fired' to 2 state clients",
                                   "Trovik: State connection to 10.0.0.7 → cancelled"));
  EXPECT_EQ(fake.keyboard.presses().size(), 1u);
  EXPECT_FALSE(client.flow->hasPendingReceive());  // the loop has ended
  EXPECT_EQ(client.flow->cancelCount(), 0);        // dropped, not cancelled
  EXPECT_THAT(delegate->clientConnections(), ElementsAre(other.flow));
  EXPECT_THAT(delegate->stateConnections(), ElementsAre(other.channel));
  EXPECT_EQ(client.channel->cancelCount(), 1);
}

TEST_F(Receiver, ErrorWithoutDataRemovesSilently) {
  ASSERT_TRUE(client.flow->completeReceive(std::nullopt, fakes::makeError("gone")));
  fake.settle();
  EXPECT_THAT(lines(), ElementsAre("Trovik: State connection to 10.0.0.7 → cancelled"));
  EXPECT_EQ(delegate->clientConnections().size(), 1u);
}

TEST_F(Receiver, CommandsOfOneClientAreHandledInArrivalOrder) {
  for (std::string_view key : {"a", "s", "d", "f"}) send(client, key);
  EXPECT_THAT(fake.keyboard.presses(),
              ElementsAre(Press{0, false}, Press{1, false}, Press{2, false}, Press{3, false}));
  EXPECT_EQ(client.flow->receiveCount(), 5);  // one receive outstanding at a time
}

TEST_F(Receiver, GoneDelegateStillLogsButPostsAndAnnouncesNothing) {
  const auto flow = client.flow;
  fake.network.listener()->releaseCallbacks();
  delegate.reset();
  ASSERT_TRUE(flow->completeReceive(bytes("SPACE"), fakes::makeError("late")));
  fake.settle();
  EXPECT_THAT(lines(), ElementsAre("Trovik: Received 'SPACE'"));
  EXPECT_THAT(fake.keyboard.presses(), IsEmpty());
  EXPECT_FALSE(flow->hasPendingReceive());
  EXPECT_EQ(client.channel->cancelCount(), 0);  // no removal either
}

TEST_F(Receiver, GoneDelegateEndsTheLoopWithoutError) {
  const auto flow = client.flow;
  delegate.reset();
  ASSERT_TRUE(flow->completeReceive(bytes("hello")));
  fake.settle();
  EXPECT_FALSE(flow->hasPendingReceive());
}

}  // namespace
}  // namespace trovik::testing
