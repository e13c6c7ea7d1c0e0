// The server's output as the log drain sees it: UTF-8 check, then the line splitter.
#include "fuzz/FuzzInput.h"
#include "platform/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string chunk = fuzz::text(data, size);
    if (!platform::isValidUTF8(chunk)) return 0;
    size_t total = 0;
    for (const auto& line : platform::splitLines(chunk)) {
        if (line.empty()) fuzz::fail("an empty line was kept");
        if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos) fuzz::fail("a line break inside a line");
        if (!platform::isValidUTF8(line)) fuzz::fail("a line split inside a character");
        total += line.size();
    }
    if (total > chunk.size()) fuzz::fail("lines longer than the chunk");
    return 0;
}
