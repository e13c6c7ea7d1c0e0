#include "platform/Error.h"

#include <cstring>

namespace platform {

Error posixError(int errnoValue, const std::string& context) {
    std::string text = std::strerror(errnoValue);
    if (!context.empty()) text = context + ": " + text;
    return Error{"NSPOSIXErrorDomain", errnoValue, text};
}

}  // namespace platform
