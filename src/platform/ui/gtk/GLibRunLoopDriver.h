#pragma once
#include <glib.h>

#include "platform/RunLoop.h"

namespace platform::ui {

// Runs the main run loop inside the GLib main context: one GSource, woken through an
// eventfd whenever a task is posted or a timer is scheduled, dispatches what the loop
// has. Each dispatch runs only the tasks present when it starts, so a task that keeps
// posting cannot starve redraws and input.
class GLibRunLoopDriver final : public RunLoopDriver {
public:
    GLibRunLoopDriver();
    ~GLibRunLoopDriver() override;
    GLibRunLoopDriver(const GLibRunLoopDriver&) = delete;
    GLibRunLoopDriver& operator=(const GLibRunLoopDriver&) = delete;

    void run() override;
    void stop() override;
    void wake() override;

    // Called after each dispatch of the loop's work (the desktop syncs its windows).
    void setAfterDispatch(void (*hook)(void*), void* data) {
        afterDispatch_ = hook;
        afterDispatchData_ = data;
    }

private:
    struct Source;
    static gboolean prepare(GSource* source, gint* timeout);
    static gboolean check(GSource* source);
    static gboolean dispatch(GSource* source, GSourceFunc, gpointer);

    int eventFD_ = -1;
    GSource* source_ = nullptr;
    GMainLoop* mainLoop_ = nullptr;
    void (*afterDispatch_)(void*) = nullptr;
    void* afterDispatchData_ = nullptr;
};

}  // namespace platform::ui
