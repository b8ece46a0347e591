#pragma once

#include <memory>

#include "fakes/fake_network.hpp"
#include "fakes/fake_run_loop.hpp"
#include "fakes/fake_services.hpp"
#include "fakes/fake_work_queue.hpp"
#include "platform/linux/icu_text.hpp"
#include "platform/platform.hpp"

namespace trovik::fakes {

// Every service faked, with the real Unicode text operations. `queue` is the manual work
// queue unless a test hands in a threaded one.
struct FakePlatform {
  explicit FakePlatform(WorkQueue* queueOverride = nullptr)
      : queue(queueOverride ? *queueOverride : manualQueue) {}

  Platform platform() {
    return Platform{runLoop,   queue,     network,  keyboard,   trust,        log,    text,
                    workspace, statusBar, hostInfo, loginItems, userDefaults, bundle, application};
  }
  // Everything the fakes do that a launch-order test cares about goes to one timeline.
  void recordInto(Timeline& timeline) {
    for (Recording* r : std::initializer_list<Recording*>{
             &runLoop, &network, &trust, &workspace, &statusBar, &hostInfo, &loginItems,
             &userDefaults, &application}) {
      r->setTimeline(&timeline);
    }
  }
  // Runs queued network callbacks and main-thread tasks until both are quiet.
  void settle() {
    while (manualQueue.runAll() + runLoop.runPending() > 0) {
    }
  }

  FakeRunLoop runLoop;
  ManualWorkQueue manualQueue;
  WorkQueue& queue;
  FakeNetwork network;
  FakeKeyboard keyboard;
  FakeTrust trust;
  FakeLog log;
  IcuText text;
  FakeWorkspace workspace;
  FakeStatusBar statusBar;
  FakeHostInfo hostInfo;
  FakeLoginItems loginItems;
  FakeUserDefaults userDefaults;
  FakeBundle bundle;
  FakeApplication application;
};

}  // namespace trovik::fakes
