#pragma once

namespace platform::ui {

// Picks the UI backend for this process and installs it: TIDEMARK_UI=headless forces
// the headless one; otherwise the desktop one when it is built and the display opens;
// otherwise headless. With TIDEMARK_UI=desktop and no display it prints one line to
// standard error and answers false: the process should exit with status 1.
bool installBackendForEnvironment();

}  // namespace platform::ui
