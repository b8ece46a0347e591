#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trovik {

class WorkQueue;

using Bytes = std::vector<std::uint8_t>;
using SharedBytes = std::shared_ptr<const Bytes>;

// An error reported by the network layer, with its printable text (the OS text on Linux).
struct NetworkError {
  int code = 0;
  std::string description;
};

// A host as the network layer knows it. `description` is its stable text form; `address`
// holds the backend's own representation and is opaque to everyone else, so a channel can
// be opened to the very host a flow came from without re-parsing text.
struct Host {
  std::string description;
  Bytes address;
};

// A remote endpoint: normally a host and a port; other kinds carry only a description.
struct Endpoint {
  enum class Kind { hostPort, other };
  Kind kind = Kind::other;
  Host host;
  std::uint16_t port = 0;
  std::string otherDescription;

  static Endpoint hostPort(Host host, std::uint16_t port) {
    return Endpoint{Kind::hostPort, std::move(host), port, {}};
  }
  static Endpoint other(std::string description) {
    return Endpoint{Kind::other, {}, 0, std::move(description)};
  }
  // The platform's text form: "host:port" ("[v6]:port" for IPv6), or the other description.
  std::string description() const {
    if (kind != Kind::hostPort) return otherDescription;
    const bool v6 = host.description.find(':') != std::string::npos;
    return (v6 ? "[" + host.description + "]" : host.description) + ":" + std::to_string(port);
  }
};

namespace detail {
inline std::string withError(const char* name, const std::optional<NetworkError>& error) {
  return std::string(name) + "(" + (error ? error->description : std::string()) + ")";
}
}  // namespace detail

struct ConnectionState {
  enum class Kind { setup, preparing, ready, waiting, failed, cancelled };
  Kind kind = Kind::setup;
  std::optional<NetworkError> error;  // only for waiting and failed

  bool isReady() const { return kind == Kind::ready; }
  // "setup", "preparing", "ready", "waiting(<error>)", "failed(<error>)", "cancelled".
  std::string description() const {
    switch (kind) {
      case Kind::setup:
        return "setup";
      case Kind::preparing:
        return "preparing";
      case Kind::ready:
        return "ready";
      case Kind::waiting:
        return detail::withError("waiting", error);
      case Kind::failed:
        return detail::withError("failed", error);
      case Kind::cancelled:
        return "cancelled";
    }
    return "unknown";
  }
};

struct ListenerState {
  enum class Kind { setup, waiting, ready, failed, cancelled };
  Kind kind = Kind::setup;
  std::optional<NetworkError> error;  // only for waiting and failed

  std::string description() const {
    switch (kind) {
      case Kind::setup:
        return "setup";
      case Kind::waiting:
        return detail::withError("waiting", error);
      case Kind::ready:
        return "ready";
      case Kind::failed:
        return detail::withError("failed", error);
      case Kind::cancelled:
        return "cancelled";
    }
    return "unknown";
  }
};

// One UDP flow: inbound (one remote address and port, created by a listener) or outbound
// (a state channel). Callbacks run on the WorkQueue given to start(). Every method is
// thread-safe and returns at once; no callback runs inside the call that armed it.
class Connection {
 public:
  using StateHandler = std::function<void(const ConnectionState&)>;
  // One whole datagram (or none) and an error (or none).
  using ReceiveCompletion =
      std::function<void(std::optional<Bytes> content, std::optional<NetworkError> error)>;
  using SendCompletion = std::function<void(std::optional<NetworkError> error)>;

  virtual ~Connection() = default;

  virtual Endpoint endpoint() const = 0;
  // Set before start(); reports every later state change, one at a time, in order.
  virtual void setStateHandler(StateHandler handler) = 0;
  virtual void start(WorkQueue& queue) = 0;
  // Completes exactly once, later, with the next datagram or an error.
  virtual void receiveMessage(ReceiveCompletion completion) = 0;
  // Sends the bytes as one datagram; completes exactly once, later.
  virtual void send(SharedBytes content, SendCompletion completion) = 0;
  // Closes the flow; the state handler then reports cancelled.
  virtual void cancel() = 0;
};

struct ServiceDescription {
  std::string name;
  std::string type;
  std::string domain;
  // No TXT record: the agent advertises none.
};

// A UDP listener that hands out one Connection per remote address and port.
class Listener {
 public:
  using NewConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;
  using StateHandler = std::function<void(const ListenerState&)>;

  virtual ~Listener() = default;
  // Registered by DNS-SD while the listener's socket is open.
  virtual void setService(ServiceDescription service) = 0;
  // Called once per new flow with a connection not yet started, before any of its
  // datagrams is read.
  virtual void setNewConnectionHandler(NewConnectionHandler handler) = 0;
  virtual void setStateHandler(StateHandler handler) = 0;
  // Binds and advertises asynchronously; every handler runs on `queue`.
  virtual void start(WorkQueue& queue) = 0;
};

struct ConnectionParameters {
  bool includePeerToPeer = false;
};

class Network {
 public:
  struct ListenerResult {
    std::shared_ptr<Listener> listener;  // null when creation failed
    NetworkError error;
  };

  virtual ~Network() = default;
  // Creation only validates and allocates; binding happens at start.
  virtual ListenerResult makeListener(std::uint16_t port, ConnectionParameters parameters) = 0;
  // An outbound connection to a host-and-port endpoint, not yet started.
  virtual std::shared_ptr<Connection> makeConnection(Endpoint to,
                                                     ConnectionParameters parameters) = 0;
};

}  // namespace trovik
