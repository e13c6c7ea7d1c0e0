#include "platform/ui/gtk/GLibRunLoopDriver.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace platform::ui {

struct GLibRunLoopDriver::Source {
    GSource base;
    GLibRunLoopDriver* driver;
    gpointer tag;
};

namespace {

GSourceFuncs sourceFuncs;

// Milliseconds until the earliest timer, rounded up so a timer never fires early;
// -1 when there is none.
gint timeoutUntil(const std::optional<RunLoop::TimePoint>& date) {
    if (!date) return -1;
    const auto now = RunLoop::main().now();
    if (*date <= now) return 0;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*date - now).count();
    return static_cast<gint>(std::min<int64_t>(wait, G_MAXINT));
}

}  // namespace

GLibRunLoopDriver::GLibRunLoopDriver() {
    eventFD_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sourceFuncs.prepare = &GLibRunLoopDriver::prepare;
    sourceFuncs.check = &GLibRunLoopDriver::check;
    sourceFuncs.dispatch = &GLibRunLoopDriver::dispatch;
    source_ = g_source_new(&sourceFuncs, sizeof(Source));
    auto* source = reinterpret_cast<Source*>(source_);
    source->driver = this;
    source->tag = g_source_add_unix_fd(source_, eventFD_, G_IO_IN);
    g_source_set_name(source_, "Tidemark main run loop");
    g_source_attach(source_, g_main_context_default());
    mainLoop_ = g_main_loop_new(g_main_context_default(), FALSE);
}

GLibRunLoopDriver::~GLibRunLoopDriver() {
    g_source_destroy(source_);
    g_source_unref(source_);
    g_main_loop_unref(mainLoop_);
    if (eventFD_ >= 0) ::close(eventFD_);
}

void GLibRunLoopDriver::run() { g_main_loop_run(mainLoop_); }

void GLibRunLoopDriver::stop() {
    // g_main_loop_quit may be called from any thread; it wakes the context itself.
    g_main_loop_quit(mainLoop_);
}

void GLibRunLoopDriver::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(eventFD_, &one, sizeof one);
}

gboolean GLibRunLoopDriver::prepare(GSource*, gint* timeout) {
    auto& loop = RunLoop::main();
    if (loop.hasPendingTasks()) {
        *timeout = 0;
        return TRUE;
    }
    *timeout = timeoutUntil(loop.nextTimerDate());
    return *timeout == 0;
}

gboolean GLibRunLoopDriver::check(GSource* source) {
    auto* self = reinterpret_cast<Source*>(source);
    if (g_source_query_unix_fd(source, self->tag) & G_IO_IN) return TRUE;
    auto& loop = RunLoop::main();
    return loop.hasPendingTasks() || timeoutUntil(loop.nextTimerDate()) == 0;
}

gboolean GLibRunLoopDriver::dispatch(GSource* source, GSourceFunc, gpointer) {
    auto* self = reinterpret_cast<Source*>(source);
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(self->driver->eventFD_, &count, sizeof count);
    RunLoop::main().dispatchPending();
    if (self->driver->afterDispatch_) self->driver->afterDispatch_(self->driver->afterDispatchData_);
    return G_SOURCE_CONTINUE;
}

}  // namespace platform::ui
