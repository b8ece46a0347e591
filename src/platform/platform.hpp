#pragma once

#include "platform/keyboard.hpp"
#include "platform/log.hpp"
#include "platform/network.hpp"
#include "platform/run_loop.hpp"
#include "platform/status_bar.hpp"
#include "platform/system.hpp"
#include "platform/tablets.hpp"
#include "platform/text.hpp"
#include "platform/trust.hpp"
#include "platform/work_queue.hpp"
#include "platform/workspace.hpp"

namespace trovik {

// Every platform service the agent uses. The services outlive the delegate and every
// callback it arms.
struct Platform {
  RunLoop& runLoop;
  WorkQueue& workQueue;
  Network& network;
  Keyboard& keyboard;
  Trust& trust;
  Tablets& tablets;
  Log& log;
  Text& text;
  Workspace& workspace;
  StatusBar& statusBar;
  HostInfo& hostInfo;
  LoginItems& loginItems;
  UserDefaults& userDefaults;
  Bundle& bundle;
  Application& application;
};

}  // namespace trovik
