#include "session.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "failure.hpp"
#include "output.hpp"
#include "platform/linux/net/host_address.hpp"
#include "platform/linux/net/udp_socket.hpp"
#include "service/messages.hpp"

namespace trovik::remote {
namespace {

using namespace messages;

volatile sig_atomic_t gInterrupted = 0;
bool gGuarded = false;
sigset_t gUnguardedMask;  // the mask before the guard, used while waiting

std::string errorText(int error = errno) {
  return std::strerror(error);
}

bool isEditor(std::string_view text) {
  return text == kAppInactive || text.starts_with(kAppActivePrefix);
}

int openStateSocket() {
  // Dual-stack, so that agents reached over IPv4 and IPv6 both find us.
  const net::UdpSocket state = net::openDualStackUdp();
  if (state.fd < 0)
    throw Failure(kExitUsage, "cannot open a UDP socket: " + errorText(state.error));
  if (const int error = net::bindToPort(state.fd, kStatePort)) {
    close(state.fd);
    const std::string port = std::to_string(kStatePort);
    if (error == EADDRINUSE) {
      throw Failure(kExitUsage, "UDP port " + port +
                                    " is in use by another program (another trovik-remote, or "
                                    "a tablet simulator?); the agent's state reaches only one");
    }
    throw Failure(kExitUsage, "cannot listen on UDP port " + port + ": " + errorText(error));
  }
  return state.fd;
}

void noteInterrupt(int) {
  gInterrupted = 1;
}

}  // namespace

bool isPermission(std::string_view text) {
  return text == kAxGranted || text == kAxDenied;
}

std::vector<std::string> ChannelFilter::take(std::uint16_t port, std::string text) {
  const bool delivering = !chosen_ || *chosen_ == port;
  if (openings_.size() > 64) openings_.clear();  // a bound, whoever sends from that host
  auto& opening = openings_[port];
  if (text == kFcpActive || text == kFcpInactive) {
    opening = {text};
  } else if (opening.size() == 1 && isEditor(text)) {
    opening.push_back(text);
  } else if (opening.size() == 2 && isPermission(text)) {
    opening.push_back(text);
    chosen_ = port;
    // A new channel's first two messages were held back while another one was chosen.
    std::vector<std::string> out = delivering ? std::vector<std::string>{text} : opening;
    openings_.erase(port);
    return out;
  }
  // Other messages leave a sequence in progress alone: a broadcast may come in between.
  if (!delivering) return {};
  return {std::move(text)};
}

Session::Session(const Endpoint& agent) : agent_(agent) {
  stateFd_ = openStateSocket();
  const net::UdpSocket command = net::connectUdp(agent);
  if (command.fd < 0) {
    close(stateFd_);
    throw Failure(kExitTimeout, "cannot reach the agent at " + agent.description() + ": " +
                                    errorText(command.error));
  }
  commandFd_ = command.fd;
}

Session::~Session() {
  close(stateFd_);
  close(commandFd_);
}

std::optional<std::string> Session::send(std::string_view text) {
  if (::send(commandFd_, text.data(), text.size(), 0) >= 0) return std::nullopt;
  return errorText();
}

void Session::readStates() {
  for (;;) {
    char buffer[65536];
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const ssize_t size =
        recvfrom(stateFd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (size < 0) return;  // drained; errors on an unconnected UDP socket concern no one here
    // Compared as the agent's texts, in which IPv4-mapped IPv6 is IPv4.
    const Endpoint sender = net::endpointOf(reinterpret_cast<sockaddr*>(&from), length);
    if (sender.host.description != agent_.host.description) continue;
    for (auto& text : filter_.take(sender.port, std::string(buffer, std::size_t(size)))) {
      arrived_.push_back(std::move(text));
    }
  }
}

Session::Event Session::wait(Clock::time_point deadline, int inputFd) {
  for (;;) {
    if (!arrived_.empty()) {
      Event event{Event::Kind::State, std::move(arrived_.front())};
      arrived_.pop_front();
      return event;
    }
    if (gInterrupted) return {Event::Kind::Interrupted, {}};
    const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec timeout{static_cast<time_t>(nanoseconds / 1'000'000'000),
                           static_cast<long>(nanoseconds % 1'000'000'000)};
    pollfd fds[3] = {{stateFd_, POLLIN, 0}, {commandFd_, POLLIN, 0}, {inputFd, POLLIN, 0}};
    const int ready =
        ppoll(fds, inputFd >= 0 ? 3 : 2, &timeout, gGuarded ? &gUnguardedMask : nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) throw Failure(kExitUsage, "cannot wait for the agent: " + errorText());
    if (ready == 0) return {Event::Kind::Timeout, {}};
    if (fds[1].revents) {
      // The agent never sends on the command channel: what shows here is an ICMP error,
      // or a stray datagram that is dropped.
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(commandFd_, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) return {Event::Kind::Refused, errorText(error)};
      char ignored;
      while (recv(commandFd_, &ignored, 1, 0) >= 0) {
      }
    }
    if (inputFd >= 0 && fds[2].revents) return {Event::Kind::Input, {}};
    if (fds[0].revents) readStates();
  }
}

std::string Session::open(std::chrono::milliseconds timeout, bool verbose) {
  if (auto error = send(kHello)) {
    throw Failure(kExitTimeout,
                  "cannot reach the agent at " + agent_.description() + ": " + *error);
  }
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    Event event = wait(deadline);
    switch (event.kind) {
      case Event::Kind::State:
        if (verbose) emitLine(stderr, event.text);
        if (filter_.chosen() && isPermission(event.text)) return event.text;
        break;
      case Event::Kind::Refused:
        throw Failure(kExitTimeout, "no agent at " + agent_.description() + ": " + event.text);
      case Event::Kind::Interrupted:
      case Event::Kind::Input:
      case Event::Kind::Timeout:
        throw Failure(kExitTimeout, "no answer from the agent at " + agent_.description() +
                                        " within " + secondsText(timeout));
    }
  }
}

InterruptGuard::InterruptGuard() {
  struct sigaction action {};
  action.sa_handler = noteInterrupt;
  sigemptyset(&action.sa_mask);
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &action, nullptr);
    sigaddset(&blocked, signal);
  }
  // Blocked except inside ppoll, so a signal cannot slip in between a check and the wait.
  sigprocmask(SIG_BLOCK, &blocked, &gUnguardedMask);
  gGuarded = true;
}

InterruptGuard::~InterruptGuard() {
  gGuarded = false;
  sigprocmask(SIG_SETMASK, &gUnguardedMask, nullptr);
}

bool InterruptGuard::interrupted() {
  return gInterrupted != 0;
}

}  // namespace trovik::remote
