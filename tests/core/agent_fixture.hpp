#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/app_delegate.hpp"
#include "fakes/fake_platform.hpp"

namespace trovik::testing {

using fakes::FakeConnection;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

inline Bytes bytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

inline Endpoint peer(const std::string& host, std::uint16_t port) {
  return Endpoint::hostPort(fakes::makeHost(host), port);
}

// A delegate over fakes, with helpers that play the network's part.
class AgentTest : public ::testing::Test {
 protected:
  explicit AgentTest(WorkQueue* queue = nullptr) : fake(queue) {}

  void SetUp() override { delegate = AppDelegate::create(fake.platform()); }

  // Starts the listener the way launch does, and lets it settle.
  std::shared_ptr<fakes::FakeListener> startListener() {
    delegate->startListener();
    return fake.network.listener();
  }

  // A new flow from host:port handed to the agent; returns it with its state channel.
  struct Client {
    std::shared_ptr<FakeConnection> flow;
    std::shared_ptr<FakeConnection> channel;  // null when none was opened
  };
  Client connect(const std::string& host, std::uint16_t port = 50000) {
    if (!fake.network.listener()) startListener();
    const auto before = fake.network.channels().size();
    Client client;
    client.flow = fake.network.listener()->connect(peer(host, port));
    fake.settle();
    const auto channels = fake.network.channels();
    if (channels.size() > before) client.channel = channels.back();
    return client;
  }
  Client connectReady(const std::string& host, std::uint16_t port = 50000) {
    Client client = connect(host, port);
    client.channel->becomeReady();
    fake.settle();
    return client;
  }
  // One datagram from a client, handled to the end.
  void send(const Client& client, std::string_view text) {
    ASSERT_TRUE(client.flow->completeReceive(bytes(text)));
    fake.settle();
  }

  std::vector<std::string> lines() const { return fake.log.lines(); }

  fakes::FakePlatform fake;
  std::shared_ptr<AppDelegate> delegate;
};

}  // namespace trovik::testing
