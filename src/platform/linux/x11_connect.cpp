#include "platform/linux/x11_connect.hpp"

#include <X11/Xauth.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

namespace trovik {
namespace {

constexpr std::string_view kCookieName = "MIT-MAGIC-COOKIE-1";

struct Cookie {
  std::string name;
  std::string data;
};

std::string authorityFile() {
  if (const char* file = std::getenv("XAUTHORITY"); file && *file) return file;
  const char* home = std::getenv("HOME");
  return home ? std::string(home) + "/.Xauthority" : std::string();
}

// The first entry for this host (or any host) and display, as xcb would choose it.
std::optional<Cookie> localCookie(int displayNumber) {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return std::nullopt;
  const std::string file = authorityFile();
  std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(file.c_str(), "rbe"), &std::fclose);
  if (file.empty() || !in) return std::nullopt;
  const std::string number = std::to_string(displayNumber);
  const auto text = [](const char* bytes, unsigned short length) {
    return std::string_view(bytes, length);
  };
  while (Xauth* entry = XauReadAuth(in.get())) {
    std::unique_ptr<Xauth, void (*)(Xauth*)> owned(entry, &XauDisposeAuth);
    const bool forHost =
        entry->family == FamilyWild ||
        (entry->family == FamilyLocal && text(entry->address, entry->address_length) == host);
    const auto entryNumber = text(entry->number, entry->number_length);
    if (forHost && (entryNumber.empty() || entryNumber == number) &&
        text(entry->name, entry->name_length) == kCookieName) {
      return Cookie{std::string(kCookieName), std::string(entry->data, entry->data_length)};
    }
  }
  return std::nullopt;
}

}  // namespace

xcb_connection_t* connectToDisplay(const std::string& display, int* screen) {
  char* host = nullptr;
  int number = 0;
  if (!xcb_parse_display(display.c_str(), &host, &number, screen)) {
    return xcb_connect(display.c_str(), screen);  // fails as xcb fails it
  }
  const std::string_view hostName = host;
  const bool local = hostName.empty() || hostName == "unix";
  std::free(host);
  // A remote display's cookie depends on the address xcb connects to: xcb looks it up.
  if (!local) return xcb_connect(display.c_str(), screen);
  std::optional<Cookie> cookie = localCookie(number);
  xcb_auth_info_t auth{};  // none: a server that asks for none takes it
  if (cookie) {
    auth = {static_cast<int>(cookie->name.size()), cookie->name.data(),
            static_cast<int>(cookie->data.size()), cookie->data.data()};
  }
  return xcb_connect_to_display_with_auth_info(display.c_str(), &auth, screen);
}

}  // namespace trovik
