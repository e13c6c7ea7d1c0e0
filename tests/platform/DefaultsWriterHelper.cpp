// Writes "Tidemark.counter" = 1, 2, ... N (argv[2], default 1000) to the settings file
// argv[1], printing each number once its write has returned; the test kills it midway.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/UserDefaults.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const int writes = argc > 2 ? std::atoi(argv[2]) : 1000;
    platform::UserDefaults defaults(argv[1]);
    for (int i = 1; i <= writes; ++i) {
        defaults.setDouble(i, "Tidemark.counter");
        std::printf("%d\n", i);
        std::fflush(stdout);
    }
    return 0;
}
