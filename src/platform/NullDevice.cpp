#include "platform/NullDevice.h"

#include <fcntl.h>

namespace platform {

std::shared_ptr<Pipe> nullDevice() {
    const int reading = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int writing = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return std::make_shared<Pipe>(std::make_shared<FileHandle>(reading), std::make_shared<FileHandle>(writing));
}

}  // namespace platform
