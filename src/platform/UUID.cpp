#include "platform/UUID.h"

#include <uuid/uuid.h>

#include <cctype>

namespace platform {

UUID::UUID() { uuid_generate_random(bytes_); }

std::string UUID::uuidString() const {
    char text[37];
    uuid_unparse_upper(bytes_, text);
    return text;
}

}  // namespace platform
