#include "fuzz/FuzzInput.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

void fail(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

}  // namespace fuzz
