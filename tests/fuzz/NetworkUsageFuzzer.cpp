// The network tool's CSV output.
#include "fuzz/FuzzInput.h"
#include "processes/NativeProcessSampler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto map = NativeProcessSampler::parseNetworkUsage(fuzz::text(data, size));
    // Each record needs at least "x.N,a,b" plus a line break.
    if (map.size() > size / 6 + 1) fuzz::fail("more records than lines could hold");
    return 0;
}
