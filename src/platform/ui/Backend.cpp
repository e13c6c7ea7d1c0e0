#include "platform/ui/Backend.h"

#include "platform/ui/headless/HeadlessBackend.h"

namespace platform::ui {

namespace {
std::shared_ptr<Backend>& installed() {
    static std::shared_ptr<Backend> backend;
    return backend;
}
}  // namespace

Backend& Backend::current() {
    auto& backend = installed();
    if (!backend) backend = std::make_shared<HeadlessBackend>();
    return *backend;
}

void Backend::install(std::shared_ptr<Backend> backend) { installed() = std::move(backend); }

}  // namespace platform::ui
