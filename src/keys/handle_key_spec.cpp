#include "app/app_delegate.hpp"
#include "keys/key_posting.hpp"
#include "keys/key_spec.hpp"

namespace trovik {

bool AppDelegate::handleKeySpec(std::string_view text, bool trusted) {
  const auto press = keys::keyPressForSpec(text, platform_.text);
  if (!press) return true;
  if (press->shift) return keys::postKeyWithShift(press->code, platform_.keyboard, trusted);
  return keys::postKey(press->code, platform_.keyboard, trusted, platform_.log);
}

}  // namespace trovik
