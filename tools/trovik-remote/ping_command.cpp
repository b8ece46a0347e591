#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "agent_target.hpp"
#include "commands.hpp"
#include "failure.hpp"
#include "output.hpp"
#include "platform/linux/net/udp_socket.hpp"
#include "service/messages.hpp"
#include "session.hpp"

namespace trovik::remote {
namespace {

using Microseconds = std::chrono::microseconds;

// Sends one datagram and waits for its round trip; nothing when none came in time.
class Probe {
 public:
  virtual ~Probe() = default;
  virtual std::optional<Microseconds> roundTrip(const std::string& text) = 0;
  virtual std::string target() const = 0;
};

// Through the agent: from the command to its key:fired.
class AgentProbe : public Probe {
 public:
  AgentProbe(const PingOptions& options)
      : session_(findAgent(options.to)), timeout_(options.timeout) {
    if (session_.open(timeout_, false) == messages::kAxDenied) throw denied();
  }
  std::optional<Microseconds> roundTrip(const std::string& text) override {
    // A confirmation that came too late for the last command must not count for this one.
    while (missed_ && session_.wait(Clock::now()).kind == Session::Event::Kind::State) {
    }
    missed_ = false;
    const auto start = Clock::now();
    if (auto error = session_.send(text)) {
      throw Failure(kExitTimeout, "cannot send to " + target() + ": " + *error);
    }
    for (;;) {
      const auto event = session_.wait(start + timeout_);
      if (event.kind == Session::Event::Kind::Refused) {
        throw Failure(kExitTimeout, "the agent at " + target() + " went away: " + event.text);
      }
      if (event.kind != Session::Event::Kind::State) {
        missed_ = true;
        return std::nullopt;
      }
      if (event.text == messages::kAxDenied) throw denied();
      if (event.text == messages::kKeyFired) {
        return std::chrono::duration_cast<Microseconds>(Clock::now() - start);
      }
    }
  }
  std::string target() const override { return session_.agent().description(); }

 private:
  Failure denied() const {
    return Failure(kExitDenied, "the agent at " + target() + " may not press keys (" +
                                    std::string(messages::kAxDenied) + ")");
  }
  Session session_;
  std::chrono::milliseconds timeout_;
  bool missed_ = false;
};

// Through a plain UDP echo: the floor that the network and this host set.
class EchoProbe : public Probe {
 public:
  EchoProbe(const PingOptions& options) : timeout_(options.timeout) {
    const HostAndPort split = splitPort(*options.echo);
    std::string error = "a port is needed, as HOST:PORT";
    std::optional<Endpoint> endpoint = parseAddress(*options.echo, 0);
    if (!endpoint && split.port) endpoint = lookUpHost(split.host, *split.port, error);
    if (!endpoint || endpoint->port == 0) {
      throw Failure(kExitUsage, "cannot use echo \"" + *options.echo + "\": " + error);
    }
    echo_ = *endpoint;
    const net::UdpSocket echo = net::connectUdp(echo_);
    if (echo.fd < 0) {
      throw Failure(kExitTimeout,
                    "cannot reach the echo at " + target() + ": " + std::strerror(echo.error));
    }
    fd_ = echo.fd;
  }
  ~EchoProbe() override { close(fd_); }
  std::optional<Microseconds> roundTrip(const std::string& text) override {
    char buffer[65536];
    while (recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {  // late echoes
    }
    const auto start = Clock::now();
    if (send(fd_, text.data(), text.size(), 0) < 0) return std::nullopt;
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(start + timeout_ - Clock::now());
      pollfd entry{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      const ssize_t size = recv(fd_, buffer, sizeof buffer, 0);
      if (size >= 0 && std::string_view(buffer, std::size_t(size)) == text) {
        return std::chrono::duration_cast<Microseconds>(Clock::now() - start);
      }
    }
  }
  std::string target() const override { return echo_.description(); }

 private:
  Endpoint echo_;
  int fd_ = -1;
  std::chrono::milliseconds timeout_;
};

// Nearest rank: the smallest sample with at least `fraction` of all at or below it.
long long percentile(const std::vector<Microseconds>& sorted, double fraction) {
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * double(sorted.size())));
  return sorted[std::max<std::size_t>(rank, 1) - 1].count();
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void report(const PingOptions& options, const std::string& target,
            std::vector<Microseconds> times) {
  std::sort(times.begin(), times.end());
  const int unanswered = options.count - static_cast<int>(times.size());
  const auto figure = [&](double fraction) {
    return times.empty() ? std::string(options.json ? "null" : "-")
                         : std::to_string(percentile(times, fraction));
  };
  if (options.json) {
    emitLine(stdout, "{\"target\":" + jsonString(target) +
                         ",\"command\":" + jsonString(options.command) +
                         ",\"count\":" + std::to_string(options.count) +
                         ",\"unanswered\":" + std::to_string(unanswered) +
                         ",\"min_us\":" + figure(0) + ",\"median_us\":" + figure(0.5) +
                         ",\"p99_us\":" + figure(0.99) + ",\"max_us\":" + figure(1) + "}");
    return;
  }
  emitLine(stdout, std::to_string(options.count) + " x \"" + options.command + "\" to " + target +
                       ": " + std::to_string(unanswered) + " unanswered");
  emitLine(stdout, "round trip in microseconds: min " + figure(0) + ", median " + figure(0.5) +
                       ", 99th percentile " + figure(0.99) + ", max " + figure(1));
}

}  // namespace

int runPing(const PingOptions& options) {
  if (!options.echo) requireKeyCommand(options.command);
  std::unique_ptr<Probe> probe;
  if (options.echo) {
    probe = std::make_unique<EchoProbe>(options);
  } else {
    probe = std::make_unique<AgentProbe>(options);
  }
  std::vector<Microseconds> times;
  times.reserve(static_cast<std::size_t>(options.count));
  for (int i = 0; i < options.count; ++i) {
    if (auto time = probe->roundTrip(options.command)) times.push_back(*time);
  }
  report(options, probe->target(), times);
  return static_cast<int>(times.size()) == options.count ? kExitOk : kExitTimeout;
}

}  // namespace trovik::remote
