#include "app/app_delegate.hpp"
#include "keys/key_posting.hpp"
#include "keys/key_spec.hpp"

namespace trovik {

void AppDelegate::handleKeySpec(std::string_view text) {
  const auto press = keys::keyPressForSpec(text, platform_.text);
  if (!press) return;
  if (press->shift) {
    keys::postKeyWithShift(press->code, platform_.keyboard, platform_.trust);
  } else {
    keys::postKey(press->code, platform_.keyboard, platform_.trust, platform_.log);
  }
}

}  // namespace trovik
