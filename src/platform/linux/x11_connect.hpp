#pragma once

#include <xcb/xcb.h>

#include <string>

namespace trovik {

// xcb_connect() for a display named as in $DISPLAY, safe to call from any thread at once.
// xcb finds the display's cookie through libXau, whose file-name lookup keeps a static
// buffer that two threads connecting together overwrite; for displays on this machine the
// authority file is read here instead. Blocks until the server answers.
xcb_connection_t* connectToDisplay(const std::string& display, int* screen);

}  // namespace trovik
