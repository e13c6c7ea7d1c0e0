#pragma once
#include <string>

namespace platform {

class UUID {
public:
    // A new random (version 4) UUID.
    UUID();
    // Canonical upper-case text form, 8-4-4-4-12 hexadecimal digits.
    std::string uuidString() const;

private:
    unsigned char bytes_[16];
};

}  // namespace platform
