#include "support/bus_client.hpp"

#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace trovik::testing {
namespace {

std::string basic(char type, const void* value) {
  switch (type) {
    case 's':
    case 'o':
    case 'g':
      return "'" + std::string(*static_cast<const char* const*>(value)) + "'";
    case 'b':
      return *static_cast<const int*>(value) ? "true" : "false";
    case 'y':
      return std::to_string(*static_cast<const std::uint8_t*>(value));
    case 'u':
      return std::to_string(*static_cast<const std::uint32_t*>(value));
    case 'i':
      return std::to_string(*static_cast<const std::int32_t*>(value));
    default:
      return std::string("<type ") + type + ">";
  }
}

// Appends the next value of `m` to `out`; 0 at the end of the current container.
int render(sd_bus_message* m, std::string& out) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, &type, &contents);
  if (r <= 0) return r;
  if (!std::strchr("arve", type)) {
    alignas(8) char value[8] = {};
    if ((r = sd_bus_message_read_basic(m, type, value)) < 0) return r;
    out += basic(type, value);
    return 1;
  }
  const bool dict = type == 'a' && contents[0] == '{';
  const std::string brackets = type == 'v'   ? "<>"
                               : type == 'r' ? "()"
                               : type == 'e' ? "  "
                               : dict        ? "{}"
                                             : "[]";
  if ((r = sd_bus_message_enter_container(m, type, contents)) < 0) return r;
  std::string items;
  for (std::string item; (r = render(m, item)) > 0; item.clear()) {
    if (!items.empty()) items += type == 'e' ? ": " : ", ";
    items += item;
  }
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  out += type == 'e' ? items : brackets[0] + items + brackets[1];
  return 1;
}

// Every argument left in `m`, as "(first, second)".
std::string arguments(sd_bus_message* m) {
  std::string items;
  int r;
  for (std::string item; (r = render(m, item)) > 0; item.clear()) {
    if (!items.empty()) items += ", ";
    items += item;
  }
  return r < 0 ? "error " + std::string(std::strerror(-r)) : "(" + items + ")";
}

std::string failure(const sd_bus_error& error, int r) {
  return "error " + std::string(error.name ? error.name : std::strerror(-r));
}

}  // namespace

std::unique_ptr<BusClient> BusClient::connect(const std::string& address, std::string& error) {
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r >= 0 && (r = sd_bus_set_address(bus, address.c_str())) >= 0 &&
      (r = sd_bus_set_bus_client(bus, 1)) >= 0) {
    r = sd_bus_start(bus);
  }
  std::unique_ptr<BusClient> client(r >= 0 ? new BusClient(bus) : nullptr);
  if (client) r = sd_bus_add_match(bus, &client->match_, "type='signal'", onSignal, client.get());
  if (r < 0) {
    error = "cannot connect to " + address + ": " + std::strerror(-r);
    if (!client) sd_bus_unref(bus);
    return nullptr;
  }
  return client;
}

BusClient::~BusClient() {
  sd_bus_slot_unref(match_);
  sd_bus_flush_close_unref(bus_);
}

int BusClient::onSignal(sd_bus_message* m, void* self, sd_bus_error*) {
  static_cast<BusClient*>(self)->signals_.emplace_back(sd_bus_message_get_member(m), arguments(m));
  return 0;
}

std::string BusClient::call(const std::string& service, const std::string& path,
                            const std::string& interface, const std::string& member,
                            const char* types, ...) {
  sd_bus_message *m = nullptr, *reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_message_new_method_call(bus_, &m, service.c_str(), path.c_str(), interface.c_str(),
                                         member.c_str());
  if (r >= 0 && types) {
    va_list args;
    va_start(args, types);
    r = sd_bus_message_appendv(m, types, args);
    va_end(args);
  }
  if (r >= 0) r = sd_bus_call(bus_, m, 10'000'000, &error, &reply);
  const std::string text = r < 0 ? failure(error, r) : arguments(reply);
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(m);
  return text;
}

std::string BusClient::property(const std::string& service, const std::string& path,
                                const std::string& interface, const std::string& name) {
  const std::string text = call(service, path, "org.freedesktop.DBus.Properties", "Get", "ss",
                                interface.c_str(), name.c_str());
  // "(<value>)" becomes "value".
  return text.starts_with("(<") ? text.substr(2, text.size() - 4) : text;
}

std::vector<std::string> BusClient::menu(const std::string& service) {
  std::string path = property(service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Menu");
  path = path.substr(1, path.size() - 2);
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_call_method(bus_, service.c_str(), path.c_str(), "com.canonical.dbusmenu",
                             "GetLayout", &error, &reply, "iias", 0, -1, 0);
  std::vector<std::string> lines;
  // u (i a{sv} av): the revision, the root, then each line as a variant of (i a{sv} av).
  if (r >= 0) r = sd_bus_message_skip(reply, "u");
  if (r >= 0) r = sd_bus_message_enter_container(reply, 'r', "ia{sv}av");
  if (r >= 0) r = sd_bus_message_skip(reply, "ia{sv}");
  if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "v");
  while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'v', "(ia{sv}av)")) > 0) {
    std::string line;
    if ((r = sd_bus_message_enter_container(reply, 'r', "ia{sv}av")) >= 0 &&
        (r = sd_bus_message_skip(reply, "i")) >= 0 && (r = render(reply, line)) >= 0 &&
        (r = sd_bus_message_skip(reply, "av")) >= 0 &&
        (r = sd_bus_message_exit_container(reply)) >= 0) {
      r = sd_bus_message_exit_container(reply);
    }
    lines.push_back(line);
  }
  if (r < 0) lines.push_back(failure(error, r));
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return lines;
}

std::optional<std::string> BusClient::nextSignal(const std::string& member,
                                                 std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    for (auto it = signals_.begin(); it != signals_.end(); ++it) {
      if (it->first != member) continue;
      std::string found = std::move(it->second);
      signals_.erase(it);
      return found;
    }
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    sd_bus_wait(bus_, static_cast<std::uint64_t>(left.count()));
  }
}

}  // namespace trovik::testing
