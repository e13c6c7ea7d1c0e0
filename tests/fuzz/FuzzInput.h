#pragma once
// Helpers shared by the fuzz targets: every target is a LLVMFuzzerTestOneInput that must
// accept any bytes without crashing, leaking or hanging.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

inline std::string text(const uint8_t* data, size_t size) { return std::string(reinterpret_cast<const char*>(data), size); }

// Splits the input at NUL bytes into at most `count` pieces (missing ones are empty), so
// one input can drive several fields.
inline std::vector<std::string> fields(const uint8_t* data, size_t size, size_t count) {
    std::vector<std::string> out(count);
    size_t index = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && index + 1 < count) {
            ++index;
            continue;
        }
        out[index] += static_cast<char>(data[i]);
    }
    return out;
}

// A fatal finding: the message says which property failed, then abort() so the fuzzer
// keeps the input.
[[noreturn]] void fail(const char* what);

}  // namespace fuzz
