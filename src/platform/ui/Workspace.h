#pragma once
#include <functional>

#include "platform/URL.h"

namespace platform {

class Workspace {
public:
    static Workspace& shared();

    // Opens the URL in the user's default browser: xdg-open from PATH, started without
    // waiting for it. False when it could not be started.
    bool open(const URL& url);

    // Tests: replaces the opener (an empty function restores xdg-open).
    using Opener = std::function<bool(const URL&)>;
    void setOpenerForTesting(Opener opener) { opener_ = std::move(opener); }

private:
    Opener opener_;
};

}  // namespace platform
