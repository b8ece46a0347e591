#include "platform/linux/desktop/xdg_login_items.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <string_view>
#include <system_error>

#include "platform/linux/desktop/desktop_entry.hpp"
#include "platform/linux/desktop/file_user_defaults.hpp"
#include "platform/linux/desktop/small_file.hpp"

namespace trovik {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxEntrySize = 64 * 1024;

bool isTrue(const std::map<std::string, std::string>& keys, const std::string& key) {
  const auto found = keys.find(key);
  return found != keys.end() && (found->second == "true" || found->second == "1");
}

bool isFalse(const std::map<std::string, std::string>& keys, const std::string& key) {
  const auto found = keys.find(key);
  return found != keys.end() && (found->second == "false" || found->second == "0");
}

// What the session starts for a bare name: the first match on PATH.
fs::path onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string_view folders = path ? path : "";
  while (!folders.empty()) {
    const auto colon = std::min(folders.find(':'), folders.size());
    const fs::path candidate = fs::path(folders.substr(0, colon)) / name;
    folders.remove_prefix(std::min(colon + 1, folders.size()));
    if (candidate.is_absolute() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// A file:// link to `folder`, every byte but the unreserved ones and '/' escaped.
std::string fileLink(const fs::path& folder) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string link = "file://";
  for (const unsigned char c : folder.string()) {
    const bool plain =
        (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') ||
        std::string_view("/-._~").find(static_cast<char>(c)) != std::string_view::npos;
    if (plain) {
      link += static_cast<char>(c);
    } else {
      link += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return link;
}

}  // namespace

fs::path XdgLoginItems::defaultEntry() {
  return xdgConfigHome() / "autostart" / "trovik-helper.desktop";
}

XdgLoginItems::XdgLoginItems(Paths paths, Workspace& workspace)
    : paths_(std::move(paths)), workspace_(workspace) {}

LoginItemStatus XdgLoginItems::status() {
  if (!installed()) return LoginItemStatus::notFound;
  std::string problem;
  return read(problem) == Found::enabled ? LoginItemStatus::enabled
                                         : LoginItemStatus::notRegistered;
}

std::optional<std::string> XdgLoginItems::registerItem() {
  if (!installed()) {
    return "this copy of trovik-helper is not installed (no " + paths_.installedEntry.string() +
           ")";
  }
  const auto exec = desktop_entry::execFor(paths_.program.string());
  if (!exec) return "the path " + paths_.program.string() + " cannot be written in a desktop entry";
  // Hidden and X-GNOME-Autostart-enabled spelled out, so that no desktop reads it as off.
  std::string text = "[Desktop Entry]\nType=Application\nName=Trovik Helper\n";
  text += "Comment=Lets a tablet be a remote keyboard for video editors\n";
  text += "Exec=" + *exec + "\n";
  text += "Icon=trovik-helper\nTerminal=false\nHidden=false\nX-GNOME-Autostart-enabled=true\n";
  return replaceFile(paths_.entry, text);
}

std::optional<std::string> XdgLoginItems::unregisterItem() {
  std::string problem;
  switch (read(problem)) {
    case Found::nothing:
      return std::nullopt;
    case Found::unreadable:
      return problem;
    case Found::otherProgram:
      return paths_.entry.string() + " does not start this program; left in place";
    case Found::notAnEntry:
      return paths_.entry.string() + " is not a desktop entry; left in place";
    case Found::enabled:
    case Found::disabled:
      break;
  }
  if (::unlink(paths_.entry.c_str()) != 0 && errno != ENOENT) {
    return std::system_category().message(errno);
  }
  return std::nullopt;
}

void XdgLoginItems::openSystemSettingsLoginItems() {
  // xdg-open cannot open a folder that is not there yet; an empty one is harmless.
  std::error_code ignored;
  fs::create_directories(paths_.entry.parent_path(), ignored);
  workspace_.openURL(fileLink(paths_.entry.parent_path()));
}

XdgLoginItems::Found XdgLoginItems::read(std::string& problem) const {
  const auto text = readSmallFile(paths_.entry, kMaxEntrySize, problem);
  if (!text) return problem.empty() ? Found::nothing : Found::unreadable;
  const auto keys = desktop_entry::parse(*text);
  if (!keys) return Found::notAnEntry;
  const auto exec = keys->find("Exec");
  if (exec == keys->end() || !startsThisProgram(exec->second)) return Found::otherProgram;
  const auto type = keys->find("Type");
  const bool application = type != keys->end() && type->second == "Application";
  if (!application || isTrue(*keys, "Hidden") || isFalse(*keys, "X-GNOME-Autostart-enabled")) {
    return Found::disabled;
  }
  return Found::enabled;
}

bool XdgLoginItems::startsThisProgram(const std::string& exec) const {
  const auto program = desktop_entry::program(exec);
  if (!program) return false;
  fs::path started = *program;
  if (started.is_relative()) {
    if (program->find('/') != std::string::npos) return false;  // depends on a working folder
    started = onPath(*program);
  }
  std::error_code error;
  return !started.empty() && fs::equivalent(started, paths_.program, error);
}

bool XdgLoginItems::installed() const {
  std::error_code error;
  return !paths_.installedEntry.empty() && fs::is_regular_file(paths_.installedEntry, error);
}

}  // namespace trovik
